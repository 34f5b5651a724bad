#pragma once
// Cuts a captured rectangle into pieces whose UPDATE_BLOCK datagrams each fit the datagram
// budget, and compresses each piece once. How many rows (and, for content that compresses
// badly, how many columns) a piece gets is predicted from a cheap measure of its pixels and
// what earlier pieces compressed to per unit of it; a piece that does not fit after all is
// cut again with a safer prediction. The compressor only says "did not fit", so nothing here
// depends on how far it got.
// Portable: no X11, Qt or I/O; one Cutter per thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "Common/UpdateHeader.h"
#include "platform/Rect.h"

class Compressor;

struct CutterStats {
  std::size_t attempts = 0;       // compression calls
  std::size_t misses = 0;         // calls whose stream did not fit the payload
  std::size_t compressed_in = 0;  // bytes handed to the compressor, misses included
  std::size_t pieces = 0;         // datagrams made
};

class Cutter {
 public:
  // A finished datagram (header and payload, `length` bytes), valid during the call only.
  using Emit = std::function<void(const Rect& piece, const uint8_t* datagram, std::size_t length)>;

  // The largest UPDATE_BLOCK datagram, header included (kept within 21..65507).
  void SetBudget(std::size_t datagram_bytes);
  std::size_t budget() const { return budget_; }

  // New content begins: its first piece is tried whole when that costs little, so that
  // content which compresses well is not cut for what came before it.
  void NewRectangle() { try_whole_ = true; }
  // Forgets what earlier pieces taught.
  void Reset();

  // Cuts r into pieces, top to bottom and left to right within a band, and hands each
  // finished datagram to emit. pixels holds r.Height() rows of stride bytes (at least
  // ScanLineBytes(r.Width(), bpp)), bpp one of 8, 16, 24, 32. One piece never inflates to
  // more than the viewer's 262144 bytes. False when some piece could not be made (the
  // compressor failed, or a single pixel does not fit); the other pieces are still sent.
  bool Cut(const Rect& r, const uint8_t* pixels, std::size_t stride, int bpp, Compressor& c,
           const Emit& emit);

  CutterStats TakeStats();

 private:
  bool CutBands(const Rect& r, const uint8_t* pixels, std::size_t stride, int bpp, Compressor& c,
                const Emit& emit, bool split);
  // measure < 0: measured here. try_whole: the piece was not predicted, only tried.
  bool SendPiece(const Rect& piece, const Rect& r, const uint8_t* pixels, std::size_t stride,
                 int bpp, Compressor& c, const Emit& emit, double measure, bool try_whole);
  static double Measure(const uint8_t* first, std::size_t stride, int64_t width, int64_t rows,
                        int bpp);
  void Learn(std::size_t in, std::size_t out, double measure);
  void Missed(double measure);
  double Target() const;  // predicted stream bytes a piece is cut for
  double Ratio() const;   // stream bytes per unit of measure, as predicted now
  std::size_t InputCap() const;
  std::size_t Payload() const { return budget_ - kUpdateHeaderBytes; }

  std::size_t budget_ = kMaxDatagramBytes;
  bool try_whole_ = true;
  double ratio_ = 0;  // stream bytes per unit of Measure(); 0: nothing learnt yet
  CutterStats stats_;
  std::vector<uint8_t> packed_;  // a piece narrower than its rectangle, rows made contiguous
  std::vector<uint8_t> datagram_ = std::vector<uint8_t>(kMaxDatagramBytes);
};
