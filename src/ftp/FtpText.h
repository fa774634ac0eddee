#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>

// Small pure helpers for the texts of the control connection.
namespace ftp {

// The decimal number at the start of a line: leading white space skipped, an optional sign,
// then digits; 0 when there is none. Saturates instead of overflowing.
int LeadingNumber(std::string_view text);

// The class of a reply line: its first byte minus '0' (2 for "220 ready").
int ReplyClassOf(std::string_view line);

// Whether a reply of this code can answer the command (its verb decides; "" is the
// greeting). Errors (4xx, 5xx) answer anything but NOOP, which takes only 200, 500, 502 and
// 421; a preliminary reply is passed over where a final one is due, so only the preliminaries
// of STOR and RETR are listed. A verb without a table (SITE, OPEN) takes any 2xx or 3xx.
// Anything else came for another command.
bool ReplyFits(std::string_view command, int code);

// A command may go on the control connection only without CR, LF and NUL: any of them
// would end the line early and let the rest be read as a command of its own.
bool IsSafeCommand(std::string_view command);

// What a PASV reply asks for: the text between the first "(" and the first ")" holds
// h1,h2,h3,h4,p1,p2. False when the brackets or the two last commas are missing, or p1 or
// p2 is not a byte, or the port is 0. The address is for information only: the data
// connection goes to the control connection's server.
struct PassiveTarget {
    std::string address;  // h1.h2.h3.h4 as given
    int port = 0;         // p1 * 256 + p2
};
bool ParsePassiveReply(std::string_view line, PassiveTarget& target);

// The PORT command's argument for a local address and port: 192,168,1,5,19,136.
std::string PortArgument(const in_addr& address, int port);

// A text as it may go into the activity log: control bytes are written as \r, \n, \t
// or \xNN, so that no setting or file name can end a line of the log and forge the next;
// the rest as DisplayName shows it (of at most 1024 characters).
std::string LogSafe(std::string_view text);

// The name an upload stores under: after the path's last backslash, else after its last
// slash, else empty.
std::string UploadName(std::string_view path);

}  // namespace ftp
