#include "cid_sender.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "log.h"

namespace {

// A socket like `inherited`, connected to the same peer; -1 when that cannot be done.
int connectLike(int inherited) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(inherited, reinterpret_cast<sockaddr*>(&peer), &length) < 0) {
        return -1;
    }
    Socket own(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (own.fd() < 0 ||
        connect(own.fd(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
        return -1;
    }
    return own.release();
}

}  // namespace

CidSender::CidSender(int cidSocket) : own_(connectLike(cidSocket)) {
    fd_ = own_.fd() >= 0 ? own_.fd() : cidSocket;
}

void CidSender::send(const CIDCommand& command) {
    Command next{};
    int size = command.serialize(next.bytes.data(), next.bytes.size());
    if (size < 0) {
        return;  // cannot happen: every command of this daemon is at most 21 bytes
    }
    next.size = static_cast<uint8_t>(size);
    next.since = Clock::now();
    if (holding()) {
        dropExpired(next.since);
        hold(next);
        return;
    }
    Outcome outcome = transmit(next, false);
    if (outcome == Outcome::REFUSED || outcome == Outcome::REFUSED_EARLIER) {
        beginOutage(next.since);
        if (outcome == Outcome::REFUSED_EARLIER) {
            hold(lastSent_);
        }
        hold(next);
    } else if (outcome == Outcome::FAILED) {
        logWarning("Problem sending command to CID", 1);
    }
}

void CidSender::confirm() {
    if (unchecked_ && refusalPending()) {
        beginOutage(Clock::now());
        hold(lastSent_);
    }
}

void CidSender::beginOutage(Clock::time_point now) {
    logWarning("CID refused a command; holding commands until it takes them", 0);
    outageStart_ = now;
    retryAt_ = now + HELD_RETRY_INTERVAL;
}

// On the loopback the kernel's "port unreachable" for a refused datagram comes back before send
// returns, and leaves its error pending on the socket. The next send fails with it; so a send
// refused this way means that the datagram sent before it was refused too (and, where the
// kernel was slower than that, after it had been taken for delivered). With `check`, the
// pending error is read right after the send.
CidSender::Outcome CidSender::transmit(const Command& command, bool check) {
    bool earlier = lastSentLive_;
    if (::send(fd_, command.bytes.data(), command.size, MSG_NOSIGNAL) < 0) {
        if (errno != ECONNREFUSED) {
            return Outcome::FAILED;
        }
        lastSentLive_ = false;
        unchecked_ = false;
        return earlier ? Outcome::REFUSED_EARLIER : Outcome::REFUSED;
    }
    lastSent_ = command;
    lastSentLive_ = true;
    unchecked_ = true;
    return check && refusalPending() ? Outcome::REFUSED : Outcome::TAKEN;
}

bool CidSender::refusalPending() {
    unchecked_ = false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == ECONNREFUSED) {
        lastSentLive_ = false;
        return true;
    }
    return false;
}

void CidSender::hold(const Command& command) {
    if (count_ == held_.size()) {
        first_ = (first_ + 1) % held_.size();
        --count_;
        ++dropped_;
    }
    held_[(first_ + count_) % held_.size()] = command;
    ++count_;
}

void CidSender::holdFirst(const Command& command) {
    if (count_ == held_.size()) {
        ++dropped_;
        return;
    }
    first_ = (first_ + held_.size() - 1) % held_.size();
    held_[first_] = command;
    ++count_;
}

void CidSender::dropExpired(Clock::time_point now) {
    while (count_ > 0 && now - held_[first_].since > HELD_COMMAND_MAX_AGE) {
        first_ = (first_ + 1) % held_.size();
        --count_;
        ++dropped_;
    }
}

void CidSender::retryIfDue() {
    Clock::time_point now = Clock::now();
    if (holding() && now >= retryAt_) {
        retry(now);
    }
}

void CidSender::retry(Clock::time_point now) {
    dropExpired(now);
    while (count_ > 0) {
        Outcome outcome = transmit(held_[first_], true);
        if (outcome == Outcome::REFUSED_EARLIER && delivered_ > 0) {
            --delivered_;  // the one taken just before: back to the front
            holdFirst(lastSent_);
        }
        if (outcome == Outcome::REFUSED || outcome == Outcome::REFUSED_EARLIER) {
            retryAt_ = now + HELD_RETRY_INTERVAL;
            return;
        }
        if (outcome == Outcome::FAILED) {
            logWarning("Problem sending command to CID", 1);
        } else {
            ++delivered_;
        }
        first_ = (first_ + 1) % held_.size();
        --count_;
    }
    endOutage(now);
}

void CidSender::endOutage(Clock::time_point now) {
    char text[96];
    if (delivered_ > 0) {
        double seconds = std::chrono::duration<double>(now - outageStart_).count();
        snprintf(text, sizeof text, "Delivered %lu held commands to CID after %.1f s", delivered_,
                 seconds);
        logInfo(text, 0);
    }
    if (dropped_ > 0) {
        snprintf(text, sizeof text, "%lu held commands dropped", dropped_);
        logWarning(text, 0);
    }
    delivered_ = 0;
    dropped_ = 0;
}

void CidSender::dropHeld() {
    dropped_ += count_;
    count_ = 0;
    endOutage(Clock::now());
}
