#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

// A listener on 127.0.0.1 that never completes a handshake: never accepted from, its backlog
// of 0 kept full by two connections of our own, so a further SYN is dropped and the dialler
// stays connecting. port() is 0 when it could not be set up. Shared by tests and benchmarks.
class SilentListener
{
public:
    SilentListener()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0) return;
        m_fds.push_back(listener);
        if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        // Each filler is given time to complete before the next one, so the queue is full
        // before anyone else knocks.
        for (int filler = 0; filler < 2; ++filler) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) return;
            m_fds.push_back(fd);
            ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
            pollfd wait{fd, POLLOUT, 0};
            ::poll(&wait, 1, 250);
        }
        m_port = ntohs(address.sin_port);
    }
    ~SilentListener()
    {
        for (const int fd : m_fds)
            ::close(fd);
    }
    SilentListener(const SilentListener &) = delete;
    SilentListener &operator=(const SilentListener &) = delete;

    std::uint16_t port() const { return m_port; }

private:
    std::vector<int> m_fds;
    std::uint16_t m_port = 0;
};
