#ifndef LIBSOCK_CONTROLCODES_H
#define LIBSOCK_CONTROLCODES_H

#include <QtGlobal>

namespace libsock {

// Command codes of the main control port; every reply carries its request's code plus one.
enum ControlCommand : quint8 {
    CMD_ADD_USER = 1,
    CMD_ADD_USER_REPLY = 2,
    CMD_CHANGE_PASS = 3,
    CMD_CHANGE_PASS_REPLY = 4,
    CMD_LOGIN = 9,
    CMD_LOGIN_REPLY = 10,
};

// One value space shared by the three replies.
enum ControlResult : quint8 {
    RESULT_OK = 0,
    RESULT_FAILED = 1,
    RESULT_USER_EXISTS = 2,
    RESULT_LOGIN_FAILED = 3,
    RESULT_WRONG_PASSWORD = 4,
};

} // namespace libsock

#endif // LIBSOCK_CONTROLCODES_H
