# Many small files on one connection from pyftpdlib and vsftpd: TFtpClient against curl.
if(TARGET qv_test_ftp)
  add_executable(ftp_many_files ${CMAKE_CURRENT_LIST_DIR}/ftp_many_files.cpp)
  target_link_libraries(ftp_many_files PRIVATE qv_bench_measure qv_net qv_test_ftp)
endif()
