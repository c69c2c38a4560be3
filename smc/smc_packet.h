#ifndef AMPERVALE_SMC_SMC_PACKET_H_
#define AMPERVALE_SMC_SMC_PACKET_H_

#include <cstdint>
#include <string_view>
#include <vector>

namespace ampervale {

// SMC operation codes, carried in byte 42 of the parameter block.
enum SMCCommand : uint8_t {
  kSMCReadKey = 5,
  kSMCWriteKey = 6,
  kSMCKeyInformation = 9,
};

// The 80-byte SMC parameter block exchanged with the SMC user client.
// Multi-byte fields are little-endian; the key is stored as the four
// characters read as a big-endian number, i.e. in reverse byte order.
struct NativeSMCPacket {
  static constexpr size_t kSize = 80;
  static constexpr int64_t kKeyOffset = 0;
  static constexpr int64_t kDataSizeOffset = 28;
  static constexpr int64_t kResultOffset = 40;
  static constexpr int64_t kCommandOffset = 42;
  static constexpr int64_t kDataOffset = 48;
  static constexpr int64_t kMaxDataSize = 32;

  // Lays out a request. Throws NativeControlError "Invalid SMC key or payload
  // size" unless the key is four 7-bit ASCII characters, 0 <= size <= 32 and
  // the payload holds at most 32 bytes.
  NativeSMCPacket(std::string_view key, uint8_t command, int64_t size,
                  const std::vector<uint8_t>& payload);

  // REQUIRES: 0 <= offset and offset + 4 <= bytes.size().
  void setUInt32(uint32_t value, int64_t offset);
  uint32_t uint32(int64_t offset) const;

  // Exactly kSize long once constructed. Kept as a vector so that a reply
  // from an exchange function can be checked rather than trusted.
  std::vector<uint8_t> bytes;
};

}  // namespace ampervale

#endif  // AMPERVALE_SMC_SMC_PACKET_H_
