#ifndef AMPERVALE_SIM_SMC_MODEL_H_
#define AMPERVALE_SIM_SMC_MODEL_H_

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/faults.h"

namespace ampervale::sim {

// SMC result codes the simulated firmware answers with.
inline constexpr uint8_t kSMCResultSuccess = 0;
inline constexpr uint8_t kSMCResultKeyNotFound = 132;
inline constexpr uint8_t kSMCResultWidthMismatch = 133;
inline constexpr uint8_t kSMCResultBadCommand = 137;

// A write the simulated SMC accepted (result 0), in arrival order.
struct SMCWrite {
  double time = 0;  // simulated seconds since the machine started
  std::string key;
  std::vector<uint8_t> bytes;
  bool stored = true;  // false when an "ignore-write" fault dropped it
};

// What the kernel side of one exchange does.
struct SMCAnswer {
  int32_t code = 0;            // the exchange's return code
  std::vector<uint8_t> reply;  // 0 to 80 bytes of reply block
  bool disconnect = false;     // end the connection instead of answering
};

// The simulated SMC: a key table, its faults and the record of writes.
// Answers request blocks by the rules of the simulated platform: command 9
// gives the key's width, 5 its bytes, 6 stores a value of exactly the
// key's width (133 otherwise); an unknown key gives 132, an unknown command
// 137.
class SMCModel {
 public:
  using KeyTable = std::map<std::string, std::vector<uint8_t>>;

  explicit SMCModel(KeyTable keys = {});

  // REQUIRES: request.size() == 80.
  SMCAnswer Answer(std::span<const uint8_t> request);

  // The greeting code of a refused open (a "refuse-open" fault's code,
  // which may be 0); absent when opens succeed.
  std::optional<int32_t> OpenRefusal() const;

  std::optional<std::vector<uint8_t>> Value(const std::string& key) const;
  // The width key information reports: the value's length unless a
  // "width" fault says otherwise. REQUIRES: the key exists.
  uint32_t Width(const std::string& key) const;

  // Direct changes by the simulator's operator; they are not SMC writes
  // and are not recorded. REQUIRES: 1 to 32 bytes.
  void SetValue(const std::string& key, std::vector<uint8_t> bytes);
  bool RemoveKey(const std::string& key);

  const KeyTable& keys() const { return keys_; }
  FaultSet& faults() { return faults_; }
  const FaultSet& faults() const { return faults_; }
  const std::vector<SMCWrite>& writes() const { return writes_; }
  void ClearWrites() { writes_.clear(); }

  // The simulated time stamped on writes from now on.
  void set_now(double seconds) { now_ = seconds; }

 private:
  uint8_t AnswerKeyInformation(const std::string& key,
                               std::vector<uint8_t>& reply) const;
  uint8_t AnswerRead(const std::string& key, std::vector<uint8_t>& reply);
  uint8_t AnswerWrite(const std::string& key, std::vector<uint8_t>& reply);

  KeyTable keys_;
  FaultSet faults_;
  std::vector<SMCWrite> writes_;
  double now_ = 0;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SMC_MODEL_H_
