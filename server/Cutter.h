#pragma once
// Cuts a captured rectangle into pieces whose UPDATE_BLOCK datagrams each fit the datagram
// budget, and compresses each piece once, straight into the datagram that carries it. How
// many rows (and, for content that compresses badly, how many columns) a piece gets is
// predicted from a cheap measure of its pixels and what earlier pieces compressed to per unit
// of it; a piece that does not fit after all is cut again with a safer prediction. The
// compressor only says "did not fit", so nothing here depends on how far it got.
// Portable: no X11, Qt or I/O; one Cutter per worker thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Common/UpdateHeader.h"
#include "platform/Rect.h"
#include "server/CompressPool.h"

struct CutterStats {
  std::size_t attempts = 0;       // compression calls
  std::size_t misses = 0;         // calls whose stream did not fit the payload
  std::size_t compressed_in = 0;  // bytes handed to the compressor, misses included
  std::size_t pieces = 0;         // datagrams made
};

class Cutter : public BlockCutter {
 public:
  // Cuts job.rect into pieces, top to bottom and left to right within a band, each one
  // datagram of at most job.max_datagram bytes (kept within 21..65507) made in out. The
  // pixels: job.rect.Height() rows of job.stride bytes (at least the rectangle's scan line),
  // bpp 8, 16, 24 or 32. One piece never inflates to more than the viewer's 262144 bytes.
  // A piece that cannot be made (the compressor failed, or a single pixel does not fit) is
  // dropped (out.Drop); the others are still made. job.new_content: the first piece is tried
  // whole when that costs little, so that content which compresses well is not cut for what
  // came before it.
  void Cut(Compressor& c, const CompressJob& job, DatagramList& out) override;
  // Forgets what earlier pieces taught.
  void Reset();
  // What the cuts did since the last call. Any thread: the counts are atomic.
  CutterStats TakeStats();

 private:
  void CutBands(const Rect& r, const uint8_t* pixels, std::size_t stride, int bpp, Compressor& c,
                DatagramList& out, bool split);
  // measure < 0: measured here. try_whole: the piece was not predicted, only tried.
  void SendPiece(const Rect& piece, const Rect& r, const uint8_t* pixels, std::size_t stride,
                 int bpp, Compressor& c, DatagramList& out, double measure, bool try_whole);
  static double Measure(const uint8_t* first, std::size_t stride, int64_t width, int64_t rows,
                        int bpp);
  void Learn(std::size_t in, std::size_t out, double measure);
  void Missed(double measure);
  double Target() const;  // predicted stream bytes a piece is cut for
  double Ratio() const;   // stream bytes per unit of measure, as predicted now
  std::size_t InputCap() const;
  std::size_t Payload() const { return budget_ - kUpdateHeaderBytes; }

  std::size_t budget_ = kMaxDatagramBytes;
  double ratio_ = 0;  // stream bytes per unit of Measure(); 0: nothing learnt yet
  std::atomic<std::size_t> attempts_{0}, misses_{0}, compressed_in_{0}, pieces_{0};
  std::vector<uint8_t> packed_;  // a piece narrower than its rectangle, rows made contiguous
  std::vector<double> rows_;     // the measure of each row of the band being cut
};
