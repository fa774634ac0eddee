#include "ftp/ReplyAssembler.h"

#include "ftp/FtpText.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool ReplyAssembler::BeginsReply(std::string_view line) {
    return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
           (line.size() == 3 || line[3] == ' ' || line[3] == '-');
}

ReplyAssembler::Step ReplyAssembler::Feed(std::string_view line) {
    if (!inside_) {
        if (!BeginsReply(line)) {
            return Step::NotAReply;
        }
        code_ = ftp::LeadingNumber(line);
        if (line.size() == 3 || line[3] != '-') {
            return Step::Complete;
        }
        inside_ = true;
        return Step::More;
    }
    if (line.size() >= 4 && line[3] == ' ' && BeginsReply(line) &&
        ftp::LeadingNumber(line) == code_) {
        inside_ = false;
        return Step::Complete;
    }
    return Step::More;
}
