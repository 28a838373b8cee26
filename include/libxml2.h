// SPDX-License-Identifier: MIT
/*
 * The parameter database lookup that libvehcan calls and the host process
 * supplies (libvehcan-db supplies a real one over an XML file).
 */
#ifndef VEHCAN_LIBXML2_H
#define VEHCAN_LIBXML2_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Looks up the text of subnode `subnode` of node `node` in the database file
 * `file` and writes it, NUL-terminated, into `out`.
 *
 * libvehcan always passes "/sample.xml" as `file` and a buffer cleared to
 * zero of 1000 bytes for the subnode "SPN_LIST" and of 120 bytes for every
 * other subnode; the text must fit it with its NUL.
 * @returns 0 when the value was found and written; any other value when not.
 */
int get_xml_content(char *file, char *node, char *subnode, char *out);

#ifdef __cplusplus
}
#endif

#endif /* VEHCAN_LIBXML2_H */
