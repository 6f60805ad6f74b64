# Wall time and peak memory of a program run in a process of its own, for the FTP benchmarks.
add_library(qv_bench_measure STATIC ${CMAKE_CURRENT_LIST_DIR}/Measure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Measure.h)
target_include_directories(qv_bench_measure PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qv_bench_measure PUBLIC Qt6::Core)
