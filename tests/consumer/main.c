// SPDX-License-Identifier: MIT
/* A host of libvehcan: decodes a DM1 trouble code through the installed library. */
#include <j1939_stack.h>
#include <libxml2.h>

#include <stdio.h>

/* The host supplies the database lookup; this one knows nothing. */
int get_xml_content(char *file, char *node, char *subnode, char *out) {
    (void)file;
    (void)node;
    (void)subnode;
    (void)out;
    return 1;
}

int main(void) {
    const uint8_t dm1[8] = {0x04, 0xFF, 0xBE, 0x00, 0x02, 0x01, 0xFF, 0xFF};
    DTC dtc = {0};
    if (decode_dtc(65226, dm1, 8, &dtc) != 0 || dtc.spn != 190 || dtc.fmi != 2 ||
        dtc.awl_status != 1) {
        fprintf(stderr, "consumer: wrong decode\n");
        return 1;
    }
    printf("consumer: SPN %lu FMI %d\n", dtc.spn, dtc.fmi);
    return 0;
}
