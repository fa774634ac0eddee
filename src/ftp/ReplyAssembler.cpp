#include "ftp/ReplyAssembler.h"

#include "ftp/FtpText.h"

bool ReplyAssembler::Feed(std::string_view line) {
    if (!inside_) {
        if (line.size() < 4 || line[3] != '-') {
            return true;
        }
        inside_ = true;
        code_ = ftp::LeadingNumber(line);
        return false;
    }
    if (line.size() >= 4 && line[3] == ' ' && ftp::LeadingNumber(line) == code_) {
        inside_ = false;
        return true;
    }
    return false;
}
