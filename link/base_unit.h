// Commands of the base unit that carries modules in slots: binary frames starting 0x00 0x00.
#pragma once

#include <cstdint>

#include "link/serial_port.h"

namespace qdqm {

// version[0] major, version[1] minor; 1 when all 3 reply bytes arrived.
int queryBaseUnit(SerialPort& port, uint8_t* version);
int readSlotOccupancy(SerialPort& port, uint8_t* occupancy);
// slot 0 selects none.
int selectSlot(SerialPort& port, uint8_t slot);
// 8 slots and result 0 when the unit answers 0x95 to slot 9, else 9 slots and result 1.
int probeSlotCount(SerialPort& port, int& slotCount);

}  // namespace qdqm
