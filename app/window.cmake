# The main window and the start-up loop, in a library so the tests can drive them.
qt_add_library(window STATIC
    cservermainwindow.cpp cservermainwindow.h
    cserverapp.cpp cserverapp.h
    csingleinstance.cpp csingleinstance.h
)
target_include_directories(window PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(window PUBLIC ui server libsock settings
    Qt6::Widgets Qt6::Network Qt6::Sql tolvern_build_settings)

qt_add_executable(tolvern-server main.cpp savescommand.cpp savescommand.h)
target_link_libraries(tolvern-server PRIVATE window tolvern_build_settings)
