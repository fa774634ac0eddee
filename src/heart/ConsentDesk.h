#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ConsentAsker.h"
#include "heart/ConsentQuestion.h"

class DropView;
class PairedBuddySource;

// The heart's answer to "may this file come in?": known computers by the trust store, strangers
// by the user's policy, and under "ask" by the user, one question per computer at a time (its
// further files follow the answer), a few questions at most, each for a limited time.
class ConsentDesk : public ConsentAsker {
public:
    enum class Policy { Ask, Refuse, Accept };
    static constexpr int kMaxOpenQuestions = 4;
    // An address whose last questions were all turned down is not asked again for a while:
    // a new key costs a stranger nothing, the user's attention does.
    static constexpr size_t kTurnedDownPerAddress = 3;
    static constexpr std::chrono::minutes kTurnedDownFor{10};
    static constexpr std::chrono::milliseconds kAnswerTime{120000};
    // After an answer, files of the same computer follow it for this long (the rest of a drop).
    static constexpr std::chrono::milliseconds kFollowTime{10000};

    // The setting's text ("ask", "refuse", "accept"); anything else asks.
    static Policy PolicyFromText(const std::string& text);

    // trust: may be null (no known computers); policy: read at every file. Both, and the
    // view, outlive the desk.
    ConsentDesk(DropView& view, PairedBuddySource* trust, std::function<Policy()> policy);

    // The name a computer's latest announce from that address gave, if any; for a plain
    // peer's question. Before the first question.
    void SetAnnouncedNames(std::function<std::string(const std::string& address)> names) {
        announcedName_ = std::move(names);
    }

    Answer Ask(const ConsentRequest& request) override;
    // Ends every wait with a decline, and declines what comes later: before the receiver goes.
    void Stop();
    // How long a question waits for its answer, and how long later files of that computer
    // follow the answer (tests shorten both). Before the first question.
    void SetTimes(std::chrono::milliseconds answer, std::chrono::milliseconds follow) {
        answerTime_ = answer;
        followTime_ = follow;
    }
    void SetAnswerTime(std::chrono::milliseconds time) { answerTime_ = time; }

private:
    struct Question {
        bool answered = false;
        ConsentQuestion::Choice choice = ConsentQuestion::Choice::Unanswered;
        std::chrono::steady_clock::time_point answeredAt;
        int waiting = 1;
    };
    // The user's answer for request, asked or followed.
    ConsentQuestion::Choice Choose(const ConsentRequest& request, const std::string& key);
    void Remember(const ConsentRequest& request, const std::string& key, bool allowed);

    DropView& view_;
    PairedBuddySource* trust_;
    std::function<Policy()> policy_;
    std::function<std::string(const std::string&)> announcedName_;
    std::chrono::milliseconds answerTime_{kAnswerTime};
    std::chrono::milliseconds followTime_{kFollowTime};

    std::mutex mutex_;  // guards the fields below
    std::condition_variable answered_;
    std::map<std::string, std::shared_ptr<Question>> questions_;  // by trust key
    // When questions from each address were declined or went unanswered, the latest last.
    std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> turnedDown_;
    int open_ = 0;
    bool stopping_ = false;
};
