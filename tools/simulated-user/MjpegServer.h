#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace orvane::simulated {

// Serves JPEG pictures live to local clients as a multipart stream over TCP, the way network cameras
// send MJPEG. A client receives the pictures sent after it connected, from the start of one; a client
// still receiving an earlier picture skips the newer ones, so no client ever works through a backlog.
// One thread only.
class MjpegServer {
  public:
    // Listens on 127.0.0.1 at `port` (0: a free port the system picks); isListening() says whether
    // that worked.
    explicit MjpegServer(int port = 0);
    ~MjpegServer();
    MjpegServer(const MjpegServer&) = delete;
    MjpegServer& operator=(const MjpegServer&) = delete;

    bool isListening() const { return listener_ >= 0; }
    int port() const { return port_; }
    int clients() const { return int(clients_.size()); }

    // A GStreamer source fragment that receives the stream, ending in JPEG caps, as a camera's would.
    std::string sourceFragment() const;

    // Hands the picture to every client that has received all of the previous one.
    void send(std::span<const std::uint8_t> jpeg);
    // Accepts clients, keeps sending and notices departures until `deadline` (CLOCK_MONOTONIC
    // seconds).
    void serve(double deadline);

    // Called with the number of clients whenever one arrives or leaves.
    std::function<void(int clients)> onClientsChanged;

  private:
    struct Client {
        int socket = -1;
        std::vector<std::uint8_t> pending;
        std::size_t sent = 0;
    };

    void accept();
    // Writes what the socket takes now; false when the client has gone.
    bool flush(Client& client);
    void drop(std::size_t index);

    int listener_ = -1;
    int port_ = 0;
    std::vector<Client> clients_;
};

} // namespace orvane::simulated
