#include "heart/ConsentDesk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "heart/FakeWorkers.h"
#include "heart/PairedBuddySource.h"

namespace {

using Answer = ConsentAsker::Answer;
using Choice = ConsentQuestion::Choice;
using State = TrustEntry::State;

class MapTrust : public PairedBuddySource {
public:
    std::optional<PairedBuddy> Paired() const override { return std::nullopt; }
    std::optional<State> StateOf(const std::string& key) const override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto found = entries.find(key);
        return found == entries.end() ? std::nullopt : std::optional<State>(found->second);
    }
    bool Remember(const TrustEntry& entry) override {
        std::lock_guard<std::mutex> guard(mutex_);
        entries[entry.key] = entry.state;
        return true;
    }
    std::map<std::string, State> entries;
    mutable std::mutex mutex_;
};

// Answers `choice`; while held, waits as a user who has not answered, until released or
// the question's deadline.
class ConsentView : public RecordingView {
public:
    Choice AskConsent(const ConsentQuestion& question) override {
        std::unique_lock<std::mutex> guard(mutex_);
        asked.push_back(question.computer + " " + question.file);
        changed_.notify_all();
        if (!changed_.wait_until(guard, question.deadline, [&] { return !hold; })) {
            return Choice::Unanswered;
        }
        return choice;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(mutex_);
        hold = false;
        changed_.notify_all();
    }
    size_t AskedCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        return asked.size();
    }
    Choice choice = Choice::Accept;
    bool hold = false;
    std::vector<std::string> asked;
    std::mutex mutex_;
    std::condition_variable changed_;
};

ConsentRequest Plain(const std::string& address, const std::string& file = "a.txt") {
    return ConsentRequest{address, "", "", file, 10};
}

const std::string kHash(64, 'a');

struct Case {
    const char* policy;
    std::optional<State> known;  // by key for the secure request, by address for the plain
    bool secure;
    Choice user;
    Answer expected;
    bool asked;
    std::optional<State> remembered;
};

TEST(ConsentDesk, PolicyAndTrustDecideWhoIsAskedAndWhatIsRemembered) {
    const Case cases[] = {
        {"ask", State::Paired, true, Choice::Decline, Answer::Accept, false, State::Paired},
        {"refuse", State::Allowed, false, Choice::Decline, Answer::Accept, false, State::Allowed},
        {"accept", State::Blocked, true, Choice::Accept, Answer::Reset, false, State::Blocked},
        {"accept", std::nullopt, false, Choice::Decline, Answer::Accept, false, std::nullopt},
        {"refuse", std::nullopt, true, Choice::Accept, Answer::Decline, false, std::nullopt},
        {"ask", std::nullopt, false, Choice::Accept, Answer::Accept, true, std::nullopt},
        {"ask", std::nullopt, false, Choice::Decline, Answer::Decline, true, std::nullopt},
        {"ask", std::nullopt, true, Choice::Always, Answer::Accept, true, State::Allowed},
        {"ask", std::nullopt, false, Choice::Never, Answer::Decline, true, State::Blocked},
        {"", std::nullopt, false, Choice::Unanswered, Answer::Decline, true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.policy) + (c.secure ? " secure" : " plain"));
        MapTrust trust;
        const std::string key = c.secure ? "k:" + kHash : "a:10.0.0.9";
        if (c.known) {
            trust.entries[key] = *c.known;
        }
        ConsentView view;
        view.choice = c.user;
        const std::string policy = c.policy;
        ConsentDesk desk(view, &trust, [&] { return ConsentDesk::PolicyFromText(policy); });
        ConsentRequest request = Plain("10.0.0.9");
        if (c.secure) {
            request.keyHash = kHash;
        }
        EXPECT_EQ(desk.Ask(request), c.expected);
        EXPECT_EQ(view.asked.size(), c.asked ? 1u : 0u);
        EXPECT_EQ(trust.StateOf(key), c.remembered);
    }
}

TEST(ConsentDesk, OneQuestionPerComputerAFewAtMostAndNoAnswerInTimeDeclines) {
    MapTrust trust;
    ConsentView view;
    view.hold = true;
    ConsentDesk desk(view, &trust, [] { return ConsentDesk::Policy::Ask; });
    // Two files from one computer and three from others: four questions, the fifth
    // computer is declined unasked, the second file follows its computer's answer.
    std::vector<std::string> from = {"10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"};
    std::vector<std::atomic<int>> answers(from.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < from.size(); ++i) {
        answers[i] = -1;
        threads.emplace_back([&, i] {
            answers[i] = static_cast<int>(desk.Ask(Plain(from[i], "f" + std::to_string(i))));
        });
        if (i == 1) {  // the second of 10.0.0.1 is waiting before the others ask
            while (view.AskedCount() < 1) {
                std::this_thread::yield();
            }
        }
    }
    while (view.AskedCount() < 4) {
        std::this_thread::yield();
    }
    ConsentDesk::Answer late = desk.Ask(Plain("10.0.0.5"));
    EXPECT_EQ(late, Answer::Decline);
    view.Release();
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(view.asked.size(), 4u);
    for (const std::atomic<int>& answer : answers) {
        EXPECT_EQ(answer, static_cast<int>(Answer::Accept));
    }

    // Nobody answers: declined once the answer time is over, and nothing remembered.
    view.hold = true;
    desk.SetAnswerTime(std::chrono::milliseconds(50));
    EXPECT_EQ(desk.Ask(Plain("10.0.0.6")), Answer::Decline);
    EXPECT_FALSE(trust.StateOf("a:10.0.0.6"));

    // A stranger that makes a new key for every try: after three turned down, its address is
    // not asked again for a while; another address still is.
    view.hold = false;
    view.choice = Choice::Decline;
    const size_t before = view.AskedCount();
    for (char key : {'1', '2', '3', '4', '5'}) {
        EXPECT_EQ(desk.Ask(ConsentRequest{"10.0.0.7", std::string(64, key), "", "x", 1}),
                  Answer::Decline);
    }
    EXPECT_EQ(view.AskedCount(), before + 3);
    view.choice = Choice::Accept;
    EXPECT_EQ(desk.Ask(Plain("10.0.0.8")), Answer::Accept);
}

}  // namespace
