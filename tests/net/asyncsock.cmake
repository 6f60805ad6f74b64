# The socket layer against real sockets on 127.0.0.1, with the peer in the same event loop.
qv_add_test(asyncsock_test net SOURCES ${CMAKE_CURRENT_LIST_DIR}/AsyncSockTest.cpp
  LIBS qv_net TIMEOUT 60)
qv_add_test(asyncsock_transfer_test net
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AsyncSockTransferTest.cpp ${CMAKE_CURRENT_LIST_DIR}/SockPeer.h
  LIBS qv_net TIMEOUT 60)
