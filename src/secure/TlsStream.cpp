#include "secure/TlsStream.h"

#include <openssl/ssl.h>

#include "secure/Identity.h"

void TlsStream::SslFree::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

TlsStream::TlsStream(std::unique_ptr<TcpStream> tcp) : tcp_(std::move(tcp)) {}
TlsStream::~TlsStream() = default;

std::unique_ptr<TlsStream> TlsStream::Connect(std::unique_ptr<TcpStream> tcp, const Identity& me,
                                              net::Clock::time_point deadline, std::string& error) {
    return Handshake(Role::Client, std::move(tcp), me, deadline, error);
}
std::unique_ptr<TlsStream> TlsStream::Accept(std::unique_ptr<TcpStream> tcp, const Identity& me,
                                             net::Clock::time_point deadline, std::string& error) {
    return Handshake(Role::Server, std::move(tcp), me, deadline, error);
}
std::unique_ptr<TlsStream> TlsStream::Handshake(Role, std::unique_ptr<TcpStream>, const Identity&,
                                                net::Clock::time_point, std::string& error) {
    error = "not built yet";
    return nullptr;
}
long TlsStream::Read(char*, size_t) {
    return -1;
}
long TlsStream::Write(const char*, size_t) {
    return -1;
}
net::Wait TlsStream::WaitFor(Direction direction, net::Clock::time_point deadline) {
    return tcp_->WaitFor(direction, deadline);
}
void TlsStream::SetDeadline(net::Clock::time_point end) {
    deadline_ = end;
    tcp_->SetDeadline(end);
}
bool TlsStream::EndOutput() {
    return false;
}
bool TlsStream::AwaitPeerEnd(net::Clock::time_point) {
    return false;
}
void TlsStream::Close() {
    tcp_->Close();
}
void TlsStream::Reset() {
    tcp_->Reset();
}
std::optional<std::vector<unsigned char>> TlsStream::ExportKeyingMaterial(std::string_view,
                                                                          size_t) const {
    return std::nullopt;
}
std::string TlsStream::cipherName() const {
    return {};
}
bool TlsStream::WaitAfter(int, net::Clock::time_point) {
    return false;
}
