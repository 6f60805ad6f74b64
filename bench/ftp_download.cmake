# FTP download of 256 MiB from pyftpdlib: TFtpClient, also hashing, against curl in active mode.
if(TARGET qv_test_ftp)
  add_executable(ftp_download ${CMAKE_CURRENT_LIST_DIR}/ftp_download.cpp)
  target_link_libraries(ftp_download PRIVATE qv_bench_measure qv_net qv_test_ftp)
endif()
