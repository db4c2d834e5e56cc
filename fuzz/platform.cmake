# Fuzz targets of the platform service stand-ins.
if(TARGET morvika_peer)
  morvika_fuzz(peer_frame_fuzz LIBS morvika_peer)
  morvika_fuzz(peer_handshake_fuzz LIBS morvika_peer)
endif()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/platform_sound.cmake)
  include(${CMAKE_CURRENT_SOURCE_DIR}/platform_sound.cmake)
endif()
