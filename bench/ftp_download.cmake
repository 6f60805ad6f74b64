# FTP download of 256 MiB from pyftpdlib: TFtpClient against curl in active mode.
if(TARGET qv_test_ftp)
  add_executable(ftp_download ${CMAKE_CURRENT_LIST_DIR}/ftp_download.cpp)
  target_link_libraries(ftp_download PRIVATE qv_net qv_test_ftp)
endif()
