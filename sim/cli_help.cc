#include "sim/cli.h"

namespace ampervale::sim {

std::string SimulatorHelpText() {
  return R"help(ampsim: a simulated Mac notebook for the Ampervale backend.
Serves the simulated platform (the SMC and the battery registry entry) on a
Unix socket; clients find it through AMPERVALE_SIMULATOR=PATH.

Usage:
  ampsim serve --socket PATH [--profile NAME | --machine FILE]
               [--time-scale X] [--level PERCENT] [--trace FILE]
      Serve until SIGINT, SIGTERM or SIGHUP, then remove the socket. The
      socket appears only once it accepts connections. NAME is firmware
      (the default), legacy-pair, legacy-single or unsupported; FILE is a
      machine description (see ampsim profile). X simulated seconds pass
      per real second (default 1; 600 makes an hour pass in 6 seconds).
      PERCENT replaces the description's battery level. FILE gets the
      battery level and every SMC write over time. On a terminal a live
      view redraws in place; otherwise one log line per event.
  ampsim wait --socket PATH [--power STATE] [--at-least PERCENT]
              [--at-most PERCENT] [--timeout SECONDS]
      Wait until a simulator answers at PATH and, when asked, its battery
      is charging, holding or draining and its percentage is at least or at
      most PERCENT (default timeout 10 seconds).
  ampsim summary --socket PATH
      Print the state in one line: "80 % holding (firmware limit 80 %,
      resumes at 79 %); adapter CHIE 00, supplying power; LED green (ACLC 00)".
  ampsim key --socket PATH KEY
      Print the key's bytes as hex digits, e.g. 04.
  ampsim set-key --socket PATH KEY HEX
      Set a key, adding it when missing (1 to 32 bytes, e.g. 50000000).
      The operator's changes are not SMC writes and are not recorded.
  ampsim remove-key --socket PATH KEY
  ampsim battery --socket PATH PERCENT
      Set the battery level (0 to 100).
  ampsim fault --socket PATH KIND [ARGS]
      Add a fault (it replaces one of the same kind on the same target):
        read-result KEY RESULT     a read of KEY answers SMC result RESULT
        write-result KEY RESULT    a write of KEY answers RESULT, stores nothing
        not-privileged [KEY [CMD]] the kernel refuses the exchange (0xe00002c1)
        ignore-write KEY           a write of KEY succeeds but does not stick
        width KEY WIDTH            key information reports WIDTH bytes
        disconnect [KEY [CMD]]     the connection ends instead of an answer
        refuse-open [CODE]         an SMC open gets CODE (default 0xe00002c1,
                                   in decimal 3758097089; 0 is a success
                                   without a connection)
        no-battery                 the battery service is absent
        capacity PROPERTY VALUE    CurrentCapacity or MaxCapacity answers VALUE:
                                   a number, missing, or text (not a number)
        private-socket             the socket is mode 0600, so only root connects
      Without KEY or CMD (an SMC command: 5 read, 6 write, 9 key information)
      the fault applies to every key or command; KEY "any" stands for every
      key, so that CMD can follow: not-privileged any 6.
  ampsim fault --socket PATH --clear [KIND [KEY|PROPERTY]]
      Remove every fault, those of one kind, or those of one kind and target.
  ampsim state --socket PATH
      Print the machine as JSON: battery (level, percentage, capacities),
      power (charging, holding, draining) and its reason, adapter, led,
      sleep (asleep, bookedWakes, scheduledWakesServed, lateAnswers,
      longestAnswerSeconds), keys, faults, and writes: every SMC write in
      order, each with time (simulated seconds), key, bytes (hex) and
      stored (false when ignored).
  ampsim sleep --socket PATH --hours H
      Put the machine to sleep for H hours of its time (0 to 48), as a
      Mac sleeps: "will sleep" to every client registered for power
      notices, up to 30 s for their answers, then no SMC or battery answer
      until it wakes, while the battery charges or drains as the keys say
      (asleep it drains at sleepDrainPercentPerHour). Its time runs about
      three hours a second; wakes the clients booked are served, each
      followed by another sleep. Returns once the machine is awake.
  ampsim clear-writes --socket PATH
      Forget the recorded SMC writes.
  ampsim chart --trace FILE --out PNG
      Draw a trace as a PNG chart with gnuplot (Debian package gnuplot-nox).
  ampsim profile NAME
      Print a built-in machine description, a start for your own file.
  ampsim --help

Numbers are plain decimal digits with at most one decimal point (20, 2.5),
whole numbers for wait's percentages and the fault arguments other than
VALUE: no sign, exponent, hex or blanks (-0, 1e2 and 0x10 are refused).
Only a fault's VALUE may start with a minus sign.
)help";
}

}  // namespace ampervale::sim
