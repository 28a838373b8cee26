// SPDX-License-Identifier: MIT
// The lookup that libvehcan calls, over vehcan_db_get(). A file of its own, so
// that a program may define its own get_xml_content and still link the
// archive's reader.
#include "vehcan_db.h"

#include <cstring>

#pragma GCC visibility push(default)
#include "libxml2.h"
#pragma GCC visibility pop

extern "C" int get_xml_content(char *file, char *node, char *subnode, char *out) {
    // libvehcan sizes its buffer by the subnode it asks for.
    const bool list = subnode != nullptr && std::strcmp(subnode, "SPN_LIST") == 0;
    return vehcan_db_get(file, node, subnode, out,
                         list ? VEHCAN_DB_SPN_LIST_SIZE : VEHCAN_DB_VALUE_SIZE);
}
