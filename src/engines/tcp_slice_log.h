#pragma once

#include <cstddef>
#include <vector>

#include "protocol/tcp_slice.h"

namespace sorvanta {

// The one-second slices of a sending data connection, in the order their reports arrived.
// Bounded: an append beyond `capacity` is dropped. Lives on the engine's executor, where the
// slice reports complete, so it needs no lock.
class TcpSliceLog {
  public:
    static constexpr std::size_t capacity = 40;

    TcpSliceLog() { slices_.reserve(capacity); }

    void append(const TCPSlice& slice) {
        if (slices_.size() < capacity) {
            slices_.push_back(slice);
        }
    }
    std::size_t size() const { return slices_.size(); }
    const std::vector<TCPSlice>& slices() const { return slices_; }

  private:
    std::vector<TCPSlice> slices_;
};

}  // namespace sorvanta
