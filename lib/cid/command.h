// The daemons' CID commands: each class writes itself as its command document.
#pragma once

#include <cstdint>

#include "cid.h"

// A command to the CID; `type` is written first as "t".
class CIDCommand {
  public:
    explicit CIDCommand(int32_t type) : type(type) {}
    // Writes the document into buffer; its length in bytes, or -1 when it could not be built.
    virtual int serialize(uint8_t* buffer, uint32_t capacity) const = 0;

    int32_t type;

  protected:
    ~CIDCommand() = default;
};

class CIDINTERSECTIONSTATUSCOMMAND : public CIDCommand {
  public:
    CIDINTERSECTIONSTATUSCOMMAND() : CIDCommand(CID_INTERSECTION_STATUS) {}
    int serialize(uint8_t* buffer, uint32_t capacity) const override;
};

// A command about station `sid`: {"t": Type, "sid": sid}.
template <CidCommandType Type>
class CIDStationCommand : public CIDCommand {
  public:
    explicit CIDStationCommand(int32_t sid) : CIDCommand(Type), sid(sid) {}
    int serialize(uint8_t* buffer, uint32_t capacity) const override;

    int32_t sid;
};
using CIDPedCallCommand = CIDStationCommand<CID_PED_CALL>;
using CIDAPSCallCommand = CIDStationCommand<CID_APS_CALL>;
using CIDButtonDownCommand = CIDStationCommand<CID_BUTTON_DOWN>;
using CIDButtonUpCommand = CIDStationCommand<CID_BUTTON_UP>;

// An APB status report: "r" and "g" widened from 16 bits without sign.
class CIDAPBSTATUSREPORT : public CIDCommand {
  public:
    CIDAPBSTATUSREPORT(uint16_t reds, uint16_t greens)
        : CIDCommand(CID_APB_STATUS_REPORT), reds(reds), greens(greens) {}
    int serialize(uint8_t* buffer, uint32_t capacity) const override;

    uint16_t reds;
    uint16_t greens;
};
