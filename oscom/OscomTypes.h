// Constants and small types shared by the communication layer's classes.
#pragma once

#include <cstdint>

namespace ZulOsCom {

using UCHAR = unsigned char;

constexpr uint32_t SHM_MGMT_HEADER_SIZE = 64;       // management header at offset 0
constexpr uint32_t SHM_END_MARKER_SIZE = 4;         // end marker in the last four bytes
constexpr uint32_t SHM_END_MARKER = 0xDEDEDEDEu;
constexpr uint32_t OSCOM_SHM_VERSION = 0x00020000u;
constexpr int32_t SHM_TYPE_RTH = 2;                 // what GetType of a hypervisor partition says

constexpr uint32_t SIZEOF_QUEUE_HDR = 128;          // queue header at the start of the user area
constexpr uint32_t SIZEOF_ELEMENT_HDR = 8;          // element header before each payload
constexpr uint32_t QUEUE_ALIGNMENT = 64;            // elements and offsets are 64-byte aligned

// Slot of an element with a payload of length bytes: (length + 8) rounded up to 64.
constexpr uint64_t ElementSlotSize(uint32_t length) {
    return (static_cast<uint64_t>(length) + SIZEOF_ELEMENT_HDR + QUEUE_ALIGNMENT - 1) &
           ~static_cast<uint64_t>(QUEUE_ALIGNMENT - 1);
}

constexpr bool isAligned64(uint32_t value) { return (value & (QUEUE_ALIGNMENT - 1)) == 0; }

}  // namespace ZulOsCom
