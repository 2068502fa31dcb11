#pragma once

// A TCP port of the loopback interface that is bound but not listening: a
// connection to it is refused at once, as by a server that is down. The port
// is held for the object's life, so that nothing else takes it meanwhile.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class ClosedPort {
public:
    ClosedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~ClosedPort()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    // 0 when no port could be had.
    int Port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};
