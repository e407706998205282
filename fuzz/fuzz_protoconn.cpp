// The control port's packet reader and body readers, fed as a peer would feed them.

#include <cstdint>

#include <QCoreApplication>
#include <QString>

#include "cabstractprotoconn.h"
#include "cfuzzpeer.h"
#include "controlcodes.h"

using namespace libsock;

namespace {

// Reads each request as the control server does and answers it.
class FuzzProtoConn : public CAbstractProtoConn
{
public:
    FuzzProtoConn()
        : CAbstractProtoConn(nullptr)
    {
    }

protected:
    bool processPacket() override
    {
        QString name, password, newPassword;
        qint32 id = 0;
        qint64 size = 0;
        CProtoPacket reply;
        reply.reset().setAuxByte(0).setCommand(quint8(packet.command() + 1));
        switch (packet.command()) {
        case CMD_CHANGE_PASS:
            packet.readInt32(id).readString(password).readString(newPassword);
            reply.writeByte(RESULT_OK);
            break;
        case 0x7F:
            // Refused: the connection ends here.
            return false;
        default:
            packet.readString(name).readString(password).readInt64(size).readInt32(id);
            reply.writeByte(RESULT_OK).writeInt32(id).writeInt64(size);
            reply.writeString(name);
            break;
        }
        if (packet.readPosition() > packet.bodyLength())
            __builtin_trap(); // a reader went past the body
        writePacket(*this, reply);
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzProtoConn conn;
    CFuzzPeer peer(conn);
    if (!peer.isValid())
        __builtin_trap();
    peer.feed(data, size);
    return 0;
}
