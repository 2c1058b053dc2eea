// The commands of one station's child on their way to the CID, held while the CID refuses them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "command.h"
#include "socket.h"

// How often held commands are offered to the CID again, how many one child holds at most, and
// how long a command may wait: older ones, and the oldest beyond the number, are dropped.
constexpr std::chrono::milliseconds HELD_RETRY_INTERVAL{100};
constexpr size_t HELD_COMMANDS_MAX = 64;
constexpr std::chrono::seconds HELD_COMMAND_MAX_AGE{60};

// Sends each command as one datagram to the CID and learns, before it sends the next one or
// waits, whether the CID's port refused it (on the loopback the kernel reports a refused
// datagram before send returns). A refused command is held, and so is every command after it,
// in the station's order; held commands are offered again, oldest first, every
// HELD_RETRY_INTERVAL until the CID takes one, and then the rest at once. One WARNING when
// holding begins, one INFO when all held commands have been delivered, one WARNING with the
// number dropped, if any.
class CidSender {
  public:
    using Clock = std::chrono::steady_clock;

    // Sends through a socket of its own, connected where `cidSocket` is, so that a refusal it
    // sees is one of its own commands and never another child's; `cidSocket` itself when no
    // socket can be opened.
    explicit CidSender(int cidSocket);
    CidSender(const CidSender&) = delete;
    CidSender& operator=(const CidSender&) = delete;

    // Sends the command, or holds it behind those already held.
    void send(const CIDCommand& command);
    // Learns whether the command sent last was refused (and then holds it); called before the
    // child waits, since nothing else would tell.
    void confirm();
    bool holding() const { return count_ > 0; }
    // When the held commands are next offered to the CID (meaningful while holding).
    Clock::time_point retryAt() const { return retryAt_; }
    // Offers the held commands again when they are due.
    void retryIfDue();
    // Drops every held command, counted and logged.
    void dropHeld();

  private:
    struct Command {
        std::array<uint8_t, 32> bytes;
        uint8_t size;
        Clock::time_point since;
    };
    // REFUSED_EARLIER: not sent, and the command sent before it was refused after all.
    enum class Outcome { TAKEN, REFUSED, REFUSED_EARLIER, FAILED };

    Outcome transmit(const Command& command, bool check);
    bool refusalPending();
    void beginOutage(Clock::time_point now);
    void hold(const Command& command);
    void holdFirst(const Command& command);
    void dropExpired(Clock::time_point now);
    void retry(Clock::time_point now);
    void endOutage(Clock::time_point now);

    Socket own_;
    int fd_;
    Command lastSent_{};  // the command sent last
    std::array<Command, HELD_COMMANDS_MAX> held_{};
    size_t first_ = 0;
    size_t count_ = 0;
    Clock::time_point outageStart_;
    Clock::time_point retryAt_;
    unsigned long delivered_ = 0;
    unsigned long dropped_ = 0;
    bool lastSentLive_ = false;  // lastSent_ may yet turn out refused
    bool unchecked_ = false;     // no pending error read since lastSent_ went out
};
