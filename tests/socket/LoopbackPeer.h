// LoopbackPeer: a scripted TCP peer on 127.0.0.1 (or ::1) inside the test program, for the socket base's
// own tests. Each accepted connection runs the handler on the peer's thread; what the client sent is
// recorded per connection, byte for byte.
#pragma once

#include <QByteArray>
#include <QList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

namespace KvTest {

class LoopbackPeer {
public:
    /// What a handler works with: the connection's number (from 0) and helpers on its descriptor.
    class Conn {
    public:
        Conn(LoopbackPeer& Peer, int Fd, int Index) : FPeer(Peer), FFd(Fd), FIndex(Index) {}
        int Index() const { return FIndex; }
        /// Reads until Delimiter has arrived (or the client closes / the peer stops); true when it came.
        bool ReadUntil(const QByteArray& Delimiter) {
            while (!FPeer.ReceivedOf(FIndex).contains(Delimiter))
                if (!ReadSome())
                    return false;
            return true;
        }
        /// Reads until the client closes its side.
        void ReadAll() {
            while (ReadSome()) {
            }
        }
        void Send(const QByteArray& Bytes) {
            qsizetype done = 0;
            while (done < Bytes.size()) {
                const ssize_t n = ::send(FFd, Bytes.constData() + done, size_t(Bytes.size() - done), MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                done += n;
            }
        }
        void Sleep(int MSecs) { std::this_thread::sleep_for(std::chrono::milliseconds(MSecs)); }
        /// Closes the connection with a reset (RST), whatever is still unread.
        void Abort() {
            linger l{1, 0};
            ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::shutdown(FFd, SHUT_RDWR);
        }
        /// Waits until the test lets the peer go (destruction), reading what comes meanwhile.
        void Hang() {
            while (!FPeer.FStop)
                ReadSome();
        }

    private:
        bool ReadSome() {
            pollfd p{FFd, POLLIN, 0};
            while (!FPeer.FStop) {
                if (::poll(&p, 1, 50) > 0) {
                    char buf[4096];
                    const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
                    if (n <= 0)
                        return false;
                    std::lock_guard<std::mutex> lock(FPeer.FMutex);
                    FPeer.FReceived[FIndex].append(buf, n);
                    return true;
                }
            }
            return false;
        }
        LoopbackPeer& FPeer;
        int FFd;
        int FIndex;
    };

    using THandler = std::function<void(Conn&)>;

    explicit LoopbackPeer(THandler Handler, bool IPv6 = false) : FHandler(std::move(Handler)) {
        FListen = ::socket(IPv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (IPv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            FOk = ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            FOk = ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
        FOk = FOk && ::listen(FListen, 8) == 0;
        sockaddr_storage s{};
        socklen_t len = sizeof s;
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&s), &len);
        FPort = ntohs(IPv6 ? reinterpret_cast<sockaddr_in6*>(&s)->sin6_port : reinterpret_cast<sockaddr_in*>(&s)->sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~LoopbackPeer() {
        FStop = true;
        FThread.join();
        ::close(FListen);
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Ok() const { return FOk; }
    int Port() const { return FPort; }
    int Connections() const { return FConnections; }
    QByteArray ReceivedOf(int Index) {
        std::lock_guard<std::mutex> lock(FMutex);
        return FReceived.value(Index);
    }
    /// Waits (briefly) until connection Index has been handled completely, then returns what it received.
    QByteArray Received(int Index = 0) {
        for (int i = 0; i < 200 && FFinished <= Index; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ReceivedOf(Index);
    }

private:
    void Serve() {
        pollfd p{FListen, POLLIN, 0};
        while (!FStop) {
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept(FListen, nullptr, nullptr);
            if (fd < 0)
                continue;
            const int index = FConnections++;
            {
                std::lock_guard<std::mutex> lock(FMutex);
                FReceived.append(QByteArray());
            }
            Conn conn(*this, fd, index);
            FHandler(conn);
            ::shutdown(fd, SHUT_WR);
            // Let the client see a clean end before the descriptor goes (no reset for unread bytes).
            for (int i = 0; i < 20; ++i) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, 10) > 0) {
                    char buf[4096];
                    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    std::lock_guard<std::mutex> lock(FMutex);
                    FReceived[index].append(buf, n);
                }
            }
            ::close(fd);
            ++FFinished;
        }
    }

    THandler FHandler;
    int FListen = -1;
    int FPort = 0;
    bool FOk = false;
    std::atomic<bool> FStop{false};
    std::atomic<int> FConnections{0};
    std::atomic<int> FFinished{0};
    std::mutex FMutex;
    QList<QByteArray> FReceived;
    std::thread FThread;
};

} // namespace KvTest
