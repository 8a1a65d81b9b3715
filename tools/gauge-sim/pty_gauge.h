#pragma once
// Serves a GaugeSim on a pseudo-terminal.
//
// Open() creates the pty with openpty(), which also opens the slave, and sets
// the slave raw at 9600 8N1. The simulator keeps that slave descriptor open
// for the pty's whole life: on Linux, once the last slave descriptor is
// closed the master reports POLLHUP and read() fails with EIO until a slave
// is opened again (a poll loop would spin, and a reply written meanwhile is
// lost), and the line settings may fall back to the defaults.
// Holding a slave open means the driver can close and reopen the port as
// often as it likes and always finds the same raw line behind the same path.
// The simulator never reads from its slave descriptor, so it takes no bytes.
//
// Start() starts the serving thread, which waits in poll() on the master and
// a wake-up eventfd (no busy polling), feeds what it reads into the GaugeSim
// and writes the answers, honouring delay, pacing and byte-by-byte; every wait
// also watches the eventfd, so Stop() ends the thread promptly (well below
// 200 ms) even in the middle of a delayed or paced reply.
//
// Stop() ends the thread but keeps the pty: the path stays valid and the gauge
// is simply silent. Close() (alias Vanish()) also closes the pty: the driver's
// open port then reads EOF/EIO and the path disappears once the driver closes
// it -- the gauge vanished. A later Start() opens a new pty on a new path.
// POSIX only.
#include <atomic>
#include <cstdint>
#include <string>

#include "gauge_server.h"

namespace vr::sim {

class PtyGauge : public GaugeServer {
 public:
  explicit PtyGauge(GaugeSim& sim);  // sim must outlive this object
  ~PtyGauge();                       // Close()

  // Creates the pty if there is none; returns the slave path. std::system_error on failure.
  std::string Open();
  // Open() if needed, then starts serving (no-op if running); returns the slave path.
  std::string Start();
  // Ends the serving thread; the pty stays open.
  void Stop();
  // Stop() and close the pty (master and the simulator's slave descriptor).
  void Close();
  void Vanish() { Close(); }
  // VanishOnNextRequest: the serving thread closes the pty itself. Since
  // closing a pty master discards what the slave side has not read yet, it
  // waits 20 ms and then until the slave's input queue is empty (500 ms at
  // most) before closing. Stop()/Close()/Start() afterwards behave as after
  // Close().

  bool IsOpen() const;
  std::string SlavePath() const;  // empty when closed

  // Totals since construction; exact once the serving thread has stopped.
  uint64_t BytesRead() const;
  uint64_t BytesWritten() const;
  uint64_t WriteCalls() const;  // write() calls that wrote something

 private:
  void Serve(int master, int wake);
  bool WaitUntil(int wake, Clock::time_point when);
  bool WaitForReader(int wake);
  bool WriteSome(int master, int wake, const uint8_t* data, size_t size);
  bool WriteAnswer(int master, int wake, const Answer& answer, size_t limit);
  std::string OpenLocked();
  void CloseFdsLocked();

  // Guarded by mu_.
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::atomic<uint64_t> bytes_read_{0};
  std::atomic<uint64_t> bytes_written_{0};
  std::atomic<uint64_t> write_calls_{0};
};

}  // namespace vr::sim
