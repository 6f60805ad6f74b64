# Hostile input: parsers fed random or lying bytes (unit), FTP servers that send over-long or
# broken reply lines (net).
qv_add_test(robust_hostile_input unit SOURCES HostileInputTest.cpp
  LIBS qv_data qv_platform qv_test_programs)
qv_add_test(robust_ftp_replies net SOURCES FtpReplyTest.cpp LIBS qv_net qv_test_ftp)

