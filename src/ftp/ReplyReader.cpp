#include "ftp/ReplyReader.h"

#include "ftp/LineReader.h"
#include "ftp/ReplyAssembler.h"

ReplyReader::Result ReplyReader::Read(bool finalOnly, std::string& line) {
    ReplyAssembler assembler;
    size_t bytes = 0;
    for (;;) {
        switch (lines_.ReadLine(line)) {
            case LineReader::Result::Line:
                break;
            case LineReader::Result::End:
                return Result::End;
            case LineReader::Result::Failed:
                return Result::Failed;
            case LineReader::Result::TooLong:
            case LineReader::Result::HasNul:
                return Result::Refused;
        }
        bytes += line.size() + 2;
        if (bytes > maxBytes_) {
            return Result::Refused;
        }
        if (assembler.Feed(line) != ReplyAssembler::Step::Complete) {
            continue;
        }
        code_ = assembler.code();
        if (!finalOnly || code_ / 100 != 1) {
            return Result::Reply;
        }
    }
}
