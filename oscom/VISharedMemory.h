// VISharedMemory: the communication layer's interface to a shared region. No data members;
// the operations are declared in their slot order. Implementations are used by one thread.
#pragma once

#include <cstdint>

namespace ZulOsCom {

class VISharedMemory {
public:
    // Creates the region's contents. size: the size wanted; error: 0 or a failure code.
    virtual bool Init(uint32_t size, int32_t& error) = 0;
    // Attaches to contents created before; on success writes the region's size to size.
    virtual bool Open(uint32_t& size) = 0;
    // Opens and maps the region, which must be exactly size bytes.
    virtual bool OpenShMemWindow(uint32_t size) = 0;
    virtual ~VISharedMemory() = default;
    virtual const char* GetName() const = 0;
    virtual int32_t GetType() const = 0;
    virtual void* GetUserAreaAddress() const = 0;
    // The region's size; while unknown, asks the library first and remembers the answer.
    virtual uint32_t GetSize() = 0;
    virtual uint32_t GetUserAreaSize() const = 0;
    virtual void* GetUserAreaEnd() const = 0;
};

}  // namespace ZulOsCom
