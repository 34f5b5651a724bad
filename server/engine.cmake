# server_engine (static library)
