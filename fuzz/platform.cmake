# Fuzz targets of the platform service stand-ins.
morvika_fuzz(peer_frame_fuzz LIBS morvika_peer)
