// The stop/done rendezvous on Linux: one Unix stream socket per recording,
// named like the Windows events' stem, in a folder where only this user can
// create names: $XDG_RUNTIME_DIR when it is the user's private folder, else a
// 0700 folder of the user's own under the temporary folder. (The abstract
// namespace is shared by every user, so anyone could take a name there first
// and block the recording.) Every connection's peer credentials are compared
// with our own user on both ends. A socket left behind by a recorder that died
// refuses connections, which reads as "not running", and is replaced by the
// next recorder of that id.
//
// Protocol: the stopper connects and sends 'S'; the recording answers 'D' once
// its file is done (at once when it already is) and closes the connection.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "record/stop_protocol.h"
#include "support/os_error.h"

namespace vantle {

namespace {

constexpr char kStopByte = 'S';
constexpr char kDoneByte = 'D';
constexpr int kBacklog = 16;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// How many folders under the temporary folder are tried when other users hold
// the first names: each is "invalid.vantle.app-<uid>" with ".<n>" after the first.
constexpr int kPrivateFolderCandidates = 16;

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

// A folder only this user can create names in: a real directory (a link is
// not followed), owned by us, with no access for group or others.
bool is_private_folder(const std::string& folder) {
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

std::string temporary_folder() {
    if (auto value = environment("TMPDIR"); value && value->front() == '/') {
        return *value;
    }
    return "/tmp";
}

std::string private_folder_candidate(const std::string& base, int n) {
    std::string folder = base + "/invalid.vantle.app-" + std::to_string(::geteuid());
    if (n > 0) {
        folder += "." + std::to_string(n);
    }
    return folder;
}

// The folder of this user's rendezvous sockets. The recording side creates the
// private folder under the temporary folder when it is missing; the stopping
// side only looks. A folder of that name that another user made, or that is
// not private, is passed over for the next name, so nobody can block us by
// creating it first. Fails with the system's error number.
std::expected<std::string, int> rendezvous_folder(bool create) {
    if (auto runtime = environment("XDG_RUNTIME_DIR");
        runtime && runtime->front() == '/' && is_private_folder(*runtime)) {
        return *runtime;
    }
    const std::string base = temporary_folder();
    int failure = ENOENT;
    for (int n = 0; n < kPrivateFolderCandidates; ++n) {
        const std::string folder = private_folder_candidate(base, n);
        if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            return std::unexpected(errno);
        }
        if (is_private_folder(folder)) {
            return folder;
        }
        struct stat status {};
        if (::lstat(folder.c_str(), &status) != 0) {
            // The recording side would have made this one: nothing further can be ours.
            return std::unexpected(errno);
        }
        failure = EACCES;
    }
    return std::unexpected(failure);
}

// The socket address "<folder>/invalid.vantle.app.record.<id>"; false when
// the name does not fit.
bool make_address(const std::string& folder, const RecordingId& id, sockaddr_un& address,
                  socklen_t& length) {
    const std::string name = folder + "/" + rendezvous_name(id);
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    return true;
}

int connect_to(int fd, const sockaddr_un& address, socklen_t length) {
    int connected = 0;
    do {
        connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (connected != 0 && errno == EINTR);
    return connected;
}

// Binds `fd` to the address. A socket of that name whose recorder died (it
// refuses connections) is removed and the bind tried again; a live one stays
// and the bind fails with EADDRINUSE.
bool bind_replacing_stale(int fd, const sockaddr_un& address, socklen_t length) {
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        return true;
    }
    if (errno != EADDRINUSE) {
        return false;
    }
    {
        const Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!probe.valid()) {
            return false;
        }
        if (connect_to(probe.get(), address, length) == 0 || errno != ECONNREFUSED) {
            errno = EADDRINUSE;
            return false;
        }
    }
    if (::unlink(address.sun_path) != 0 && errno != ENOENT) {
        return false;
    }
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

bool peer_is_same_user(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return false;
    }
    return credentials.uid == ::geteuid();
}

void send_byte(int fd, char byte) {
    // MSG_NOSIGNAL: a stopper that has gone away must not kill the recording with SIGPIPE.
    while (::send(fd, &byte, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

}  // namespace

struct RecordingEvents::State {
    Fd listener;
    std::string socket_path;  // removed again when the recording closes its rendezvous
    Fd wake_read;
    Fd wake_write;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::atomic<bool> closing{false};
    std::thread server;

    struct Client {
        Fd fd;
        bool asked = false;
    };

    ~State() {
        if (server.joinable()) {
            closing.store(true, std::memory_order_release);
            wake();
            server.join();
        }
        if (!socket_path.empty()) {
            ::unlink(socket_path.c_str());
        }
    }

    void wake() {
        const char byte = 'w';
        // A full pipe already holds a wake-up, so a failed write loses nothing.
        while (::write(wake_write.get(), &byte, 1) < 0 && errno == EINTR) {
        }
    }

    void accept_pending(std::vector<Client>& clients) {
        for (;;) {
            const int fd =
                ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;  // EAGAIN, or a connection that went away before it was taken
            }
            Fd connection(fd);
            if (!peer_is_same_user(connection.get())) {
                continue;  // another user's process: closed unanswered
            }
            clients.push_back({std::move(connection), false});
        }
    }

    // Reads what a client sent; false when the connection is finished with.
    bool read_client(Client& client) {
        char byte = 0;
        for (;;) {
            const ssize_t got = ::recv(client.fd.get(), &byte, 1, 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true;
            }
            if (got != 1 || byte != kStopByte) {
                return false;
            }
            stop.store(true, std::memory_order_relaxed);
            client.asked = true;
            if (done.load(std::memory_order_acquire)) {
                send_byte(client.fd.get(), kDoneByte);
                return false;
            }
        }
    }

    void serve() {
        std::vector<Client> clients;
        while (!closing.load(std::memory_order_acquire)) {
            std::vector<pollfd> polled;
            polled.push_back({wake_read.get(), POLLIN, 0});
            polled.push_back({listener.get(), POLLIN, 0});
            for (const Client& client : clients) {
                polled.push_back({client.fd.get(), POLLIN, 0});
            }
            if (::poll(polled.data(), polled.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if ((polled[0].revents & POLLIN) != 0) {
                char bytes[64];
                while (::read(wake_read.get(), bytes, sizeof bytes) > 0) {
                }
            }
            std::vector<Client> kept;
            for (std::size_t i = 0; i < clients.size(); ++i) {
                Client& client = clients[i];
                if (polled[i + 2].revents != 0 && !read_client(client)) {
                    continue;
                }
                if (client.asked && done.load(std::memory_order_acquire)) {
                    send_byte(client.fd.get(), kDoneByte);
                    continue;
                }
                kept.push_back(std::move(client));
            }
            clients = std::move(kept);
            if ((polled[1].revents & POLLIN) != 0) {
                accept_pending(clients);
            }
        }
        // Closing: whoever is connected or still queued when done was signalled
        // gets its answer, so a stop that raced with the end still succeeds.
        if (done.load(std::memory_order_acquire)) {
            accept_pending(clients);
            for (Client& client : clients) {
                send_byte(client.fd.get(), kDoneByte);
            }
        }
        listener.reset();
    }
};

RecordingEvents::RecordingEvents(std::unique_ptr<State> state) : state_(std::move(state)) {}
RecordingEvents::RecordingEvents(RecordingEvents&&) noexcept = default;
RecordingEvents& RecordingEvents::operator=(RecordingEvents&&) noexcept = default;
RecordingEvents::~RecordingEvents() = default;

bool RecordingEvents::stop_requested() const {
    return state_ && state_->stop.load(std::memory_order_relaxed);
}

void RecordingEvents::signal_done() {
    if (!state_ || state_->done.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    state_->wake();
}

CliResult<RecordingEvents> create_recording_events(const RecordingId& id) {
    auto state = std::make_unique<RecordingEvents::State>();
    const auto folder = rendezvous_folder(true);
    if (!folder) {
        return std::unexpected(
            could_not_create_events(os_error_text(static_cast<std::uint32_t>(folder.error()))));
    }
    sockaddr_un address{};
    socklen_t length = 0;
    if (!make_address(*folder, id, address, length)) {
        return std::unexpected(could_not_create_events(os_error_text(ENAMETOOLONG)));
    }
    state->listener = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!state->listener.valid() || !bind_replacing_stale(state->listener.get(), address, length)) {
        return std::unexpected(could_not_create_events(last_os_error_text()));
    }
    state->socket_path = address.sun_path;
    if (::listen(state->listener.get(), kBacklog) != 0) {
        return std::unexpected(could_not_create_events(last_os_error_text()));
    }
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return std::unexpected(could_not_create_events(last_os_error_text()));
    }
    state->wake_read = Fd(pipe_fds[0]);
    state->wake_write = Fd(pipe_fds[1]);
    try {
        state->server = std::thread([raw = state.get()] { raw->serve(); });
    } catch (const std::system_error& error) {
        return std::unexpected(could_not_create_events(
            os_error_text(static_cast<std::uint32_t>(error.code().value()))));
    }
    return RecordingEvents(std::move(state));
}

CliStatus request_stop(const RecordingId& id, std::chrono::nanoseconds timeout) {
    const auto folder = rendezvous_folder(false);
    sockaddr_un address{};
    socklen_t length = 0;
    if (!folder || !make_address(*folder, id, address, length)) {
        return std::unexpected(no_recording_running(id));
    }
    const Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return std::unexpected(no_recording_running(id));
    }
    // A socket of that name held by another user is not our recording.
    if (connect_to(fd.get(), address, length) != 0 || !peer_is_same_user(fd.get())) {
        return std::unexpected(no_recording_running(id));
    }
    // A failed send is not final: a recording that already answered and closed
    // has left its answer readable.
    send_byte(fd.get(), kStopByte);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) {
            return std::unexpected(stop_not_finished(id, timeout));
        }
        pollfd polled{fd.get(), POLLIN, 0};
        const int ready =
            ::poll(&polled, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return std::unexpected(stop_not_finished(id, timeout));
        }
        if (ready == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::unexpected(stop_not_finished(id, timeout));
            }
            continue;
        }
        char byte = 0;
        ssize_t got = 0;
        do {
            got = ::recv(fd.get(), &byte, 1, 0);
        } while (got < 0 && errno == EINTR);
        if (got == 1 && byte == kDoneByte) {
            return {};
        }
        // The connection ended without an answer: the recording took the stop
        // but its process is gone (it crashed or was killed) before its file was
        // done. Nothing is left to wait for, and the id was right all along.
        return std::unexpected(stop_not_finished(id, timeout));
    }
}

}  // namespace vantle
