# Fuzz targets of the platform service stand-ins.
morvika_fuzz(peer_frame_fuzz LIBS morvika_peer)
morvika_fuzz(peer_handshake_fuzz LIBS morvika_peer)
