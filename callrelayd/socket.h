// Socket: a descriptor owner of callrelayd that can also open the socket it owns.
#pragma once

#include <sys/socket.h>

#include "descriptor.h"

class Socket : public Descriptor {
  public:
    using Descriptor::Descriptor;
    // Opens a new socket; fd() is negative when socket() failed (errno tells why).
    Socket(int domain, int type, int protocol) : Descriptor(::socket(domain, type, protocol)) {}
};
