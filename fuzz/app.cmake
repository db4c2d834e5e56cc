# Decoders of the application core: stored settings values, the settings file as a whole, and
# the desktop's text files read for the mail handler and the routing table.
morvika_fuzz(settings_value_fuzz LIBS morvika_app)
morvika_fuzz(settings_file_fuzz LIBS morvika_app)
morvika_fuzz(system_text_fuzz LIBS morvika_app)
