#ifndef AMPERVALE_SMC_SMC_TRANSPORT_H_
#define AMPERVALE_SMC_SMC_TRANSPORT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/native_control_error.h"
#include "smc/smc_packet.h"

namespace ampervale {

namespace platform {
class SMCConnection;
}

// How the power controller holds its SMC. Every failure is thrown as a
// NativeControlError.
class NativeSMCAccess {
 public:
  virtual ~NativeSMCAccess() = default;

  // The key's value, exactly as wide as the SMC says the key is.
  virtual std::vector<uint8_t> read(const std::string& key) = 0;

  // Writes the whole value and verifies it by reading it back. A failed
  // verification means the write itself was accepted: the key may now hold
  // another value, which this layer does not restore.
  virtual void write(const std::string& key,
                     const std::vector<uint8_t>& bytes) = 0;
};

// The failure of one exchange, naming the request's key and command, the
// kernel's return code and the SMC's result byte:
// "SMC ACLC command 6: request failed (IOKit 0x00000000, SMC 133)".
NativeControlError SMCExchangeFailure(const NativeSMCPacket& request,
                                      int32_t code, uint8_t result);

// Replaces the kernel call: takes a request block, returns the reply block.
using PacketExchange = std::function<NativeSMCPacket(const NativeSMCPacket&)>;

// The only way the system talks to the SMC. Asks the key's size before
// every read or write (no caching), so a read costs two exchanges and a
// verified write four.
class NativeSMCTransport final : public NativeSMCAccess {
 public:
  // Opens the SMC user client. Throws "AppleSMC is unavailable on this Mac"
  // or "Cannot open AppleSMC (IOKit <code>); use the privileged helper".
  NativeSMCTransport();

  // Routes every exchange through `packetExchange` instead of the kernel.
  explicit NativeSMCTransport(PacketExchange packetExchange);

  ~NativeSMCTransport() override;
  NativeSMCTransport(const NativeSMCTransport&) = delete;
  NativeSMCTransport& operator=(const NativeSMCTransport&) = delete;

  std::vector<uint8_t> read(const std::string& key) override;
  void write(const std::string& key,
             const std::vector<uint8_t>& bytes) override;

 private:
  NativeSMCPacket call(const NativeSMCPacket& request);
  int64_t size(const std::string& key);

  std::unique_ptr<platform::SMCConnection> connection_;
  PacketExchange packetExchange_;
};

}  // namespace ampervale

#endif  // AMPERVALE_SMC_SMC_TRANSPORT_H_
