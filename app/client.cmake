# The reference client: the command line over both ports, on the connection framework only.
qt_add_executable(tolvern-client
    clientmain.cpp
    cclientcommand.cpp cclientcommand.h
)
target_link_libraries(tolvern-client PRIVATE libsock Qt6::Core Qt6::Network tolvern_build_settings)
