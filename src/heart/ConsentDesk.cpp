#include "heart/ConsentDesk.h"

#include "core/ActivityLog.h"
#include "core/DisplayName.h"
#include "heart/DropView.h"
#include "heart/PairedBuddySource.h"

namespace {

using Choice = ConsentQuestion::Choice;

std::string Computer(const ConsentRequest& request) {
    return request.name.empty() ? request.address
                                : DisplayName(request.name, 40) + " at " + request.address;
}

}  // namespace

ConsentDesk::Policy ConsentDesk::PolicyFromText(const std::string& text) {
    if (text == "accept") {
        return Policy::Accept;
    }
    return text == "refuse" ? Policy::Refuse : Policy::Ask;
}

ConsentDesk::ConsentDesk(DropView& view, PairedBuddySource* trust, std::function<Policy()> policy)
    : view_(view), trust_(trust), policy_(std::move(policy)) {}

void ConsentDesk::Stop() {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    answered_.notify_all();
}

ConsentAsker::Answer ConsentDesk::Ask(const ConsentRequest& request) {
    // A plain peer can only be known by its address; a key speaks for itself wherever it is.
    const std::string key = request.keyHash.empty() ? TrustEntry::KeyForAddress(request.address)
                                                    : TrustEntry::KeyForHash(request.keyHash);
    if (const std::optional<TrustEntry::State> state =
            trust_ != nullptr ? trust_->StateOf(key) : std::nullopt;
        state && *state != TrustEntry::State::Known) {
        if (*state != TrustEntry::State::Blocked) {
            return Answer::Accept;
        }
        WriteLog("Consent: " + Computer(request) + " is blocked, its file refused\n");
        return Answer::Reset;
    }
    switch (policy_ ? policy_() : Policy::Ask) {
        case Policy::Accept:
            return Answer::Accept;
        case Policy::Refuse:
            WriteLog("Consent: files from strangers are refused, " + Computer(request) +
                     "'s too\n");
            return Answer::Decline;
        case Policy::Ask:
            break;
    }
    switch (Choose(request, key)) {
        case Choice::Always:
            Remember(request, key, true);
            return Answer::Accept;
        case Choice::Accept:
            return Answer::Accept;
        case Choice::Never:
            Remember(request, key, false);
            return Answer::Decline;
        case Choice::Decline:
        case Choice::Unanswered:
            break;
    }
    return Answer::Decline;
}

ConsentQuestion::Choice ConsentDesk::Choose(const ConsentRequest& request, const std::string& key) {
    std::unique_lock<std::mutex> guard(mutex_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(questions_, [&](const auto& entry) {
        return entry.second->answered && now - entry.second->answeredAt >= followTime_;
    });
    if (stopping_) {
        return Choice::Decline;
    }
    auto found = questions_.find(key);
    if (found != questions_.end()) {
        // One question per computer: this file follows the one already asked.
        std::shared_ptr<Question> question = found->second;
        if (!question->answered) {
            question->waiting += static_cast<int>(request.files);
            answered_.wait(guard, [&] { return question->answered || stopping_; });
        }
        return question->answered ? question->choice : Choice::Decline;
    }
    for (auto entry = turnedDown_.begin(); entry != turnedDown_.end();) {
        std::erase_if(entry->second, [&](auto at) { return now - at >= kTurnedDownFor; });
        entry = entry->second.empty() ? turnedDown_.erase(entry) : std::next(entry);
    }
    const auto turned = turnedDown_.find(request.address);
    if (turned != turnedDown_.end() && turned->second.size() >= kTurnedDownPerAddress) {
        guard.unlock();
        WriteLog("Consent: " + Computer(request) +
                 " was turned down too often lately, a file declined without asking\n");
        return Choice::Decline;
    }
    if (open_ >= kMaxOpenQuestions) {
        guard.unlock();
        WriteLog("Consent: too many questions open, a file from " + Computer(request) +
                 " declined without asking\n");
        return Choice::Decline;
    }
    auto question = std::make_shared<Question>();
    questions_[key] = question;
    ++open_;
    ConsentQuestion asked;
    ConsentRequest named = request;
    if (named.name.empty() && announcedName_) {
        named.name = announcedName_(request.address);
    }
    asked.computer = Computer(named);
    asked.byAddress = request.keyHash.empty();
    asked.total = request.size;
    asked.count = static_cast<int>(request.files);
    asked.file = DisplayName(request.file, 80);
    asked.size = request.size;
    asked.deadline = now + answerTime_;
    guard.unlock();

    Choice choice = view_.AskConsent(asked);
    if (std::chrono::steady_clock::now() > asked.deadline) {
        choice = Choice::Unanswered;  // an answer too late counts for nothing
    }
    if (choice == Choice::Unanswered) {
        WriteLog("Consent: no answer on " + asked.file + " from " + asked.computer +
                 " in time, declined\n");
    }

    guard.lock();
    if (choice == Choice::Decline || choice == Choice::Unanswered || choice == Choice::Never) {
        turnedDown_[request.address].push_back(std::chrono::steady_clock::now());
    }
    question->answered = true;
    question->choice = choice;
    question->answeredAt = std::chrono::steady_clock::now();
    --open_;
    answered_.notify_all();
    return choice;
}

void ConsentDesk::Remember(const ConsentRequest& request, const std::string& key, bool allowed) {
    TrustEntry entry;
    entry.key = key;
    entry.state = allowed ? TrustEntry::State::Allowed : TrustEntry::State::Blocked;
    entry.lastAddress = request.address;
    entry.name = request.name;
    if (trust_ == nullptr || !trust_->Remember(entry)) {
        WriteLog("Consent: could not remember the answer for " + Computer(request) + "\n");
    }
}
