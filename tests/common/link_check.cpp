// Linked with every object of the subsystem libraries; running it only shows the program starts.
#include "audio/device_records.h"
#include "remote/web_socket_frame.h"

int main() {
    return kestravon::ruvi::isValidUtf8("ok") ? 0 : 1;
}
