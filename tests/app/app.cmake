morvika_test(app_test
  SOURCES
    settings_test.cpp
    network_address_test.cpp
    address_book_test.cpp
    mail_command_test.cpp
    notification_sound_test.cpp
  LIBS morvika_app)
