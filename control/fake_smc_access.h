#ifndef AMPERVALE_CONTROL_FAKE_SMC_ACCESS_H_
#define AMPERVALE_CONTROL_FAKE_SMC_ACCESS_H_

// Test support only: compiled into the test binary, never into the programs.

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "control/power_controller.h"
#include "smc/smc_transport.h"

namespace ampervale {

// An in-memory SMC behind the controller's access interface. It holds a key
// table (a key's width is the size of its bytes), logs every operation in
// the order it was asked for, and fails reads and writes on demand with the
// same texts the real transport uses.
//
//   auto smc = std::make_shared<FakeSMCAccess>(
//       FakeMachineKeys(NativePowerController::Mode::firmware));
//   NativePowerController controller(smc);
//   smc->clearLog();
//   controller.applyLimit(80, std::nullopt);
//   EXPECT_EQ(expected_operations, smc->log());
//
// Log entries are "read KEY" and "write KEY 50 00 00 00" (the bytes asked
// for, lower-case hex). Every attempt is logged, failed ones included. A
// write's verifying read-back belongs to the write and is not logged.
class FakeSMCAccess : public NativeSMCAccess {
 public:
  using KeyTable = std::map<std::string, std::vector<uint8_t>>;

  FakeSMCAccess() = default;
  explicit FakeSMCAccess(KeyTable keys) : keys_(std::move(keys)) {}

  // The key table. Changing it is not logged.
  void set(const std::string& key, std::vector<uint8_t> bytes);
  void erase(const std::string& key);
  // The bytes a key holds now; absent for a missing key.
  std::optional<std::vector<uint8_t>> value(const std::string& key) const;
  const KeyTable& keys() const { return keys_; }

  // Faults. Each lasts until clearFaults() or until set again for the key.
  // Reads of `key` throw (a NativeControlError with `description`, or
  // `error`); the key is unchanged.
  void failRead(const std::string& key, std::string description);
  void failRead(const std::string& key, std::exception_ptr error);
  // Writes of `key` throw before anything changes.
  void failWrite(const std::string& key, std::string description);
  void failWrite(const std::string& key, std::exception_ptr error);
  // Writes of `key` are accepted but do not stick: the key keeps its bytes
  // and the write throws "SMC write verification failed for KEY".
  void dropWrites(const std::string& key);
  // Once `reads` more reads of `key` have succeeded (0: at once), the key
  // holds `bytes`, typically of another width. Writes do not count.
  void changeAfterReads(const std::string& key, int reads,
                        std::vector<uint8_t> bytes);
  void clearFaults();

  const std::vector<std::string>& log() const { return log_; }
  // Only the "write ..." entries of the log.
  std::vector<std::string> writes() const;
  void clearLog() { log_.clear(); }

  // A missing key fails like an SMC that does not know it (MissingKeyText);
  // a write whose byte count differs from the key's width fails with "SMC
  // payload width mismatch for KEY" and changes nothing.
  std::vector<uint8_t> read(const std::string& key) override;
  void write(const std::string& key,
             const std::vector<uint8_t>& bytes) override;

 private:
  struct PendingChange {
    int reads_left;
    std::vector<uint8_t> bytes;
  };

  const std::vector<uint8_t>& existing(const std::string& key) const;
  void countRead(const std::string& key);

  KeyTable keys_;
  std::map<std::string, std::exception_ptr> readFaults_;
  std::map<std::string, std::exception_ptr> writeFaults_;
  std::set<std::string> droppedWrites_;
  std::map<std::string, PendingChange> pendingChanges_;
  std::vector<std::string> log_;
};

// The transport's text for a key the SMC does not know: the key-information
// exchange comes back with SMC result 132.
// "SMC KEY command 9: request failed (IOKit 0x00000000, SMC 132)".
std::string MissingKeyText(std::string_view key);

// The keys of a typical machine in `mode`, charging normally: firmware
// bfF0 00, bfD0 64 00 00 00, bfE0 63 00 00 00; legacyPair CH0B 00, CH0C 00;
// legacySingle CHTE 00 00 00 00; unsupported no charge keys. Plus
// `adapterKey` holding 00 (enabled) unless it is empty, and ACLC 00 when
// `led` is true.
FakeSMCAccess::KeyTable FakeMachineKeys(NativePowerController::Mode mode,
                                        std::string_view adapterKey = "CHIE",
                                        bool led = true);

// The description of the NativeControlError that `operation` throws, or ""
// when it returns. Other exceptions pass through.
std::string ControlErrorOf(const std::function<void()>& operation);

}  // namespace ampervale

#endif  // AMPERVALE_CONTROL_FAKE_SMC_ACCESS_H_
