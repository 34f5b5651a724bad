# server_engine: the server's shared state, screen sampler, change tracker and rendezvous
# service, and the sending pipeline behind the sampler: cutting, compression on a worker pool,
# the comparison against what was sent, the hand-over queue, pacing, the sender thread, the
# stream key's sealer and the healing cycle. Portable: X11 stays behind platform_x11.
add_library(server_engine STATIC
  ServerState.cpp Sampler.cpp Tracker.cpp Rendezvous.cpp
  Compressor.cpp DatagramList.cpp CompressPool.cpp SentPicture.cpp Cutter.cpp SendQueue.cpp
  Pacer.cpp Sender.cpp MulticastTransport.cpp RefreshCycle.cpp ServerKey.cpp)
target_link_libraries(server_engine
  PUBLIC Common platform_x11 hooks ZLIB::ZLIB Threads::Threads
  PRIVATE PkgConfig::LIBDEFLATE platform_tiles)
