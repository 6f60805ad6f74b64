# Capture of 512 MiB from a loopback peer: TAsyncSocket::CaptureFile against a blocking recv
# loop and socat. Run bench/run-capture.
add_executable(capture_bench ${CMAKE_CURRENT_LIST_DIR}/capture.cpp)
target_link_libraries(capture_bench PRIVATE qv_net)
