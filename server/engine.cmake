# server_engine: the server's shared state, screen sampler, change tracker and rendezvous
# service. Portable: X11 stays behind platform_x11.
add_library(server_engine STATIC
  ServerState.cpp Sampler.cpp Tracker.cpp Rendezvous.cpp Compressor.cpp CompressPool.cpp SentPicture.cpp)
target_link_libraries(server_engine
  PUBLIC Common platform_x11 hooks ZLIB::ZLIB Threads::Threads
  PRIVATE PkgConfig::LIBDEFLATE)
