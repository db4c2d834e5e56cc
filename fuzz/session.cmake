# Decoders of data received from peers.
morvika_fuzz(peer_message_fuzz LIBS morvika_session)
morvika_fuzz(record_fuzz LIBS morvika_session)
