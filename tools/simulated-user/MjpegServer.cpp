#include "simulated-user/MjpegServer.h"

#include "simulated-user/Uptime.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvane::simulated {

namespace {

constexpr const char* boundary = "orvaneframe";

} // namespace

MjpegServer::MjpegServer(int port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return;
    const int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("orvane-simulated-user: cannot listen");
        ::close(listener_);
        listener_ = -1;
        return;
    }
    port_ = ntohs(address.sin_port);
}

MjpegServer::~MjpegServer() {
    for (const Client& client : clients_)
        ::close(client.socket);
    if (listener_ >= 0) ::close(listener_);
}

std::string MjpegServer::sourceFragment() const {
    // The parts carry no size or rate: stated here as a webcam's caps state them.
    const std::string caps = "image/jpeg,width=1280,height=720,framerate=15/1";
    return "tcpclientsrc host=127.0.0.1 port=" + std::to_string(port_) +
           " ! multipartdemux single-stream=true ! capssetter caps=" + caps + " ! capsfilter caps=" + caps;
}

void MjpegServer::send(std::span<const std::uint8_t> jpeg) {
    char header[128];
    const int length = std::snprintf(header, sizeof header,
                                     "--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %zu\r\n\r\n",
                                     boundary, jpeg.size());
    for (std::size_t i = clients_.size(); i-- > 0;) {
        Client& client = clients_[i];
        if (client.sent < client.pending.size()) continue; // still busy with the last picture
        client.pending.assign(header, header + length);
        client.pending.insert(client.pending.end(), jpeg.begin(), jpeg.end());
        client.pending.insert(client.pending.end(), {'\r', '\n'});
        client.sent = 0;
        if (!flush(client)) drop(i);
    }
}

void MjpegServer::serve(double deadline) {
    while (listener_ >= 0) {
        const double left = deadline - uptime();
        if (left <= 0) return;
        std::vector<pollfd> watched{{listener_, POLLIN, 0}};
        for (const Client& client : clients_)
            watched.push_back(
                {client.socket, short(POLLIN | (client.sent < client.pending.size() ? POLLOUT : 0)), 0});
        if (::poll(watched.data(), watched.size(), int(std::ceil(left * 1000))) < 0) {
            if (errno == EINTR) return; // a signal: let the caller look at it
            continue;
        }
        if (watched[0].revents & POLLIN) accept();
        for (std::size_t i = clients_.size(); i-- > 0;) {
            const short events = watched[i + 1].revents;
            if (!events) continue;
            bool alive = !(events & (POLLERR | POLLHUP));
            if (alive && (events & POLLIN)) {
                // Clients send nothing; a read of 0 bytes means it has closed.
                char ignored[256];
                const ssize_t n = ::recv(clients_[i].socket, ignored, sizeof ignored, MSG_DONTWAIT);
                alive = n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
            }
            if (alive && (events & POLLOUT)) alive = flush(clients_[i]);
            if (!alive) drop(i);
        }
    }
}

void MjpegServer::accept() {
    while (true) {
        const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) return;
        // A small send buffer: a client that stops reading holds up at most about one picture.
        const int buffer = 128 * 1024;
        setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        clients_.push_back({socket, {}, 0});
        if (onClientsChanged) onClientsChanged(clients());
    }
}

bool MjpegServer::flush(Client& client) {
    while (client.sent < client.pending.size()) {
        const ssize_t n = ::send(client.socket, client.pending.data() + client.sent,
                                 client.pending.size() - client.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        client.sent += std::size_t(n);
    }
    return true;
}

void MjpegServer::drop(std::size_t index) {
    ::close(clients_[index].socket);
    clients_.erase(clients_.begin() + std::ptrdiff_t(index));
    if (onClientsChanged) onClientsChanged(clients());
}

} // namespace orvane::simulated
