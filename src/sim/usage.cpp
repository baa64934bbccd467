// The text of kx5180-sim --help: the options and the model of the unit.
#include "options.hpp"
#include "protocol/frame.hpp"
#include "protocol/line.hpp"

namespace kx::sim {

// The text below states the line and the frame as they are.
static_assert(protocol::kBaudRate == 4800 && protocol::kBitsPerByte == 10 && protocol::kFrameLength == 26,
              "kUsage no longer describes the line");

const char* const kVersion = KX5180_VERSION;

const char* const kUsage = R"usage(usage: kx5180-sim [options]

Serves simulated kx5100 series power supplies, one or several on one bus, on
a pseudo-terminal. The first line of standard output is the path of the
terminal to open (4800 8N1, as the driver does); the log goes to standard
error. Stop it with SIGINT or SIGTERM. An option's value follows it as the
next argument or after '=' (--baud=0). --help prints this text, --version
the version.

Port:
  --link PATH           also make a symbolic link PATH to the terminal
                        (replaces an existing link, removed on exit)
  --baud N              pace the line at N baud, 10 bits a byte (default 4800);
                        0 answers at once
  --turnaround-ms T     delay between a command and its reply (default 2)
  --log                 log every frame both ways, in hex, with a timestamp,
                        and notes on what the units did
  --watch-stdin         stop when standard input reaches its end: a program
                        that starts the simulator with a pipe there takes it
                        along when it ends, however it ends

Units:
  --address N           bus address 0..254 of the unit (default 1); with
                        --units N, the address of the first of them
  --units N|A,B,...     N units at consecutive addresses from --address (1..N
                        by default), or units at the listed addresses 0..254
                        in that order (then without --address); default 1
  --model CODE          model code, 4 characters (default 5180)
  --number SN           product number, 9 characters (default 518000001).
                        With several units, unit k (0 for the first in the
                        order above) has its last three characters, which must
                        be digits, plus k, modulo 1000: 518000001, 518000002..
  --soft-version N      software version 0..65535 (default 373)
  --load-ohms R         resistive load on each unit's output, ohms (default
                        10); 0 is a short, inf an open circuit
  --load-schedule T:R[,T:R...]
                        T seconds after the start, the load of every unit
                        becomes R ohms (inf open, 0 short); times strictly
                        increasing; each change is logged as a note
  --schedule-on-open    the times of --load-schedule count from the moment a
                        client opens the terminal (its first byte), not from
                        the start, and anew at each opening, from --load-ohms:
                        a run sees its changes at the same moments however
                        long it took to start
  --ambient-c T         ambient temperature, Celsius (default 25)
  --thermal-c-per-w K   temperature rise per watt delivered (default 2)
  --thermal-tau-s S     thermal time constant, seconds (default 20; 0 = at once)
  --over-temp-c T       over-temperature trip point (default 85)

Faults (for testing the driver's failure paths):
  --fault MODES         comma-separated: silent, bad-checksum, bad-sync,
                        split, extra-byte, late, ignore; alone it faults every
                        reply; several take turns (drawn at random with
                        --fault-rate)
  --fault-nth N         fault only the Nth reply
  --fault-every N       fault every Nth reply
  --fault-rate P        fault this fraction (0..1) of replies, drawn from --seed
  --seed S              seed for --fault-rate, 0..2^63-1 (default 1)
  --split-pause-ms T    pause inside a split reply (default 30)
  --late-ms T           a late reply comes this long after the command
                        (default 400, past the driver's 0.3 s wait)
  --late-cancels        a new command arriving before a late reply has begun
                        cancels that reply (by default it is sent all the
                        same, as a real unit does)

  silent sends no reply, bad-checksum and bad-sync spoil one byte, extra-byte
  appends a zero byte, split pauses after 10 bytes, late sends the reply
  --late-ms after the command, and ignore acknowledges a setting command as
  usual but does not apply it (a readout is sent as it is). Except for
  ignore, the unit acts on the command whatever befalls its reply. Replies
  are counted from 1 on the whole line; a broadcast that several units
  answer counts as one and is never faulted.

Replay:
  --replay FILE         serve a session captured by kx5180 --capture FILE
                        instead of simulating: each frame from the host gets
                        the bytes the host read after it, at the recorded
                        delays (late replies and silences included); the
                        unit options above do not apply. A frame that differs
                        from the next recorded one is reported on standard
                        error and gets no reply; the exit status is then 1
  --replay-match frame|command
                        what must agree: all 26 bytes (frame, the default)
                        or the command word only

The model:
  At power-up (and after a factory reset) the output is off, the ceiling is
  30.000 V, the voltage setpoint 5.000 V and the current limit 1.000 A;
  control starts local. Setting commands are accepted in either control mode.
  With the output on, the unit regulates to V = min(setpoint, ceiling):
  constant voltage (CV) while V / R stays within the current limit, otherwise
  constant current (CC) at the limit, with V = limit x R. Measured values
  are rounded to whole mV and mA; the status frame reports the low 16 bits
  of currents. The temperature follows ambient + K x delivered power with the
  time constant S; the fan runs 0 below 35 C, then one step per 7 C up to 7.
  At the trip point the output switches off and the over-temperature bit is
  set until the output is switched on again.
  Replies: status (0x26) and identity (0x31) replies carry their own command
  word; setting commands are answered with command word 0x12, byte 3 the
  command answered and byte 4 0x80 (done). Unknown command words, frames for
  an address that no unit holds and frames with a bad sync byte or checksum
  get no reply.
  A new bus address (0x25) is stored for the next power-up, which never comes
  within one run: the unit keeps answering at its address, as the driver
  keeps sending to it. A factory reset also forgets a stored new address.

The bus:
  Every unit has its own address, product number, setpoints, output, load
  and temperature; they share one half-duplex line at --baud, on which
  replies leave one after another in the order they were made (a late reply
  holds back those behind it). A frame to 255 is answered as any other when
  there is one unit. With several, every unit acts on it and they all answer
  at once: unit k starts k byte times after the first, and where replies
  overlap the line carries the AND of their bytes. The 25 + N bytes that
  result are never a valid frame in any 26 in a row (where one would verify,
  its checksum byte is spoilt), so a driver sees garbage, never a reply.

The log (--log), one line each, seconds since the start in brackets:
  [   0.012345] rx AA 01 26 00 ... 00 D1          a frame received
  [   0.014567] tx AA 01 26 00 ... 00 DF  (unit 1)
  [   0.014567] tx AA 01 ... 1F  (units 1,2 at once: collided)
  [   0.014567] -- fault: late on reply 2 (unit 1)
  [   0.800012] -- load now 5 ohms (scheduled at 0.8 s)
  A reply names its sender; a note that a unit makes ends with "(unit A)".
  Frames that were dropped or ignored carry a reason in parentheses.
)usage";

}  // namespace kx::sim
