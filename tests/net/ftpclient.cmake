# The FTP client: wire order and faults against the scripted server, interop with real servers.
qv_add_test(ftp_client_test net SOURCES ${CMAKE_CURRENT_LIST_DIR}/FtpClientTest.cpp
  LIBS qv_net qv_test_ftp TIMEOUT 120)
qv_add_test(ftp_interop_test net SOURCES ${CMAKE_CURRENT_LIST_DIR}/FtpInteropTest.cpp
  LIBS qv_net qv_test_ftp TIMEOUT 180)
