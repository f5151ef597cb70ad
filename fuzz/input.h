// Reads a fuzzer's bytes as numbers; past the end every byte reads as zero.
#ifndef TIMEWARD_FUZZ_INPUT_H
#define TIMEWARD_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    uint8_t Byte() {
        return p_ < end_ ? *p_++ : 0;
    }
    uint16_t Word() {
        return static_cast<uint16_t>(Byte() | (Byte() << 8));
    }
    uint32_t Dword() {
        return Word() | (static_cast<uint32_t>(Word()) << 16);
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

#endif  // TIMEWARD_FUZZ_INPUT_H
