// SPDX-License-Identifier: MIT
/*
 * vehcan-db: the parameter database reader for hosts of libvehcan.
 *
 * libvehcan reads its parameter database only through get_xml_content()
 * (libxml2.h), which the host process supplies. Linking vehcan-db supplies a
 * real one: it reads an XML file whose root element holds one element per node
 * ("PGN61444", "SERVICE_COMPONENET"), each holding one element per subnode
 * ("SPN_LIST", "SPN_190", "SPN_190_1", "SC_ID_7") whose text is the value:
 *
 *     <vehcan_db>
 *       <PGN61444>
 *         <SPN_LIST>1,190</SPN_LIST>
 *         <SPN_190>Engine Speed,0,0.125,0,rpm,2,4,5</SPN_190>
 *       </PGN61444>
 *     </vehcan_db>
 *
 * Values are copied with the white space around them removed. Where a node or
 * a subnode appears twice, the first one counts. The root element's name is
 * free. Comments, processing instructions and a DOCTYPE are ignored; no
 * external entity is ever fetched.
 *
 * Which file is read: the path set with vehcan_db_set_path() if any, else the
 * file named by the environment variable VEHCAN_DB if it is set and not empty,
 * else the file the caller names (libvehcan always names "/sample.xml").
 *
 * The file is parsed once and kept as an index from node and subnode to text.
 * Every lookup checks the file's identity (device, inode, size, modification
 * time) with one stat() and re-reads it when it changed; otherwise a lookup is
 * two hash probes and a copy. Every function here may be called from several
 * threads at once.
 *
 * Linking the static archive: libvehcan references get_xml_content() weakly,
 * and a weak reference pulls nothing out of an archive. The CMake target
 * vehcan::vehcan-db-static forces it in (--undefined=get_xml_content); other
 * builds pass -Wl,--undefined=get_xml_content themselves. A program that
 * defines its own get_xml_content() may still use vehcan_db_get() from the
 * archive. Likewise the weak reference does not keep libvehcan-db.so in a
 * link made with --as-needed: a host that calls nothing of this header links
 * it as -Wl,--no-as-needed -lvehcan-db -Wl,--as-needed.
 */
#ifndef VEHCAN_DB_H
#define VEHCAN_DB_H

#include <stddef.h>

#if defined(VEHCAN_DB_BUILDING)
#define VEHCAN_DB_API __attribute__((visibility("default")))
#else
#define VEHCAN_DB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- results -------------------------------------------------------------------
 * Non-zero, negative and distinct from libvehcan's J1939_* codes, so that a
 * result handed through libvehcan unchanged (get_spn_no, get_service_component,
 * the raw readers) still says what went wrong.
 */
#define VEHCAN_DB_OK 0
#define VEHCAN_DB_ERR_ARGUMENT (-4101)   /* a null file, node, subnode or buffer, or size 0 */
#define VEHCAN_DB_ERR_FILE (-4102)       /* the file cannot be opened or read */
#define VEHCAN_DB_ERR_XML (-4103)        /* the file is not well-formed XML */
#define VEHCAN_DB_ERR_NO_NODE (-4104)    /* the root element has no element of that name */
#define VEHCAN_DB_ERR_NO_SUBNODE (-4105) /* the node has no element of that name */
#define VEHCAN_DB_ERR_TOO_LONG (-4106)   /* the value and its NUL do not fit the buffer */
#define VEHCAN_DB_ERR_NO_MEMORY (-4107)  /* the index could not be allocated */

/* Buffer sizes that libvehcan passes to get_xml_content(). */
#define VEHCAN_DB_SPN_LIST_SIZE 1000 /* subnode "SPN_LIST" */
#define VEHCAN_DB_VALUE_SIZE 120     /* every other subnode */

/*
 * Looks up the text of subnode `subnode` of node `node` and writes it with its
 * NUL into `out`, which holds `out_size` bytes. `file` is read unless a path
 * set here or VEHCAN_DB names another (see above).
 * On any failure `out` is left exactly as it was and the calling thread's
 * vehcan_db_last_error() tells the file, the line where one applies and why.
 * Cost: one stat(); the first call and the first after a change read and
 * index the whole file while other lookups wait.
 * @returns VEHCAN_DB_OK; VEHCAN_DB_ERR_ARGUMENT; VEHCAN_DB_ERR_FILE;
 *          VEHCAN_DB_ERR_XML; VEHCAN_DB_ERR_NO_NODE; VEHCAN_DB_ERR_NO_SUBNODE;
 *          VEHCAN_DB_ERR_TOO_LONG (strlen(value) >= out_size);
 *          VEHCAN_DB_ERR_NO_MEMORY.
 */
VEHCAN_DB_API int vehcan_db_get(const char *file, const char *node, const char *subnode, char *out,
                                size_t out_size);

/*
 * vehcan-db also defines get_xml_content() of libxml2.h, the lookup that
 * libvehcan calls: vehcan_db_get() with the size libvehcan gives its buffer,
 * VEHCAN_DB_SPN_LIST_SIZE for the subnode "SPN_LIST" and VEHCAN_DB_VALUE_SIZE
 * for any other. Same results.
 */

/*
 * Makes every later lookup read `path` (copied) whatever file it names; NULL
 * or "" goes back to VEHCAN_DB or the named file. Lookups running meanwhile
 * finish on the file they started with.
 * @returns VEHCAN_DB_OK or VEHCAN_DB_ERR_NO_MEMORY (the setting is unchanged).
 */
VEHCAN_DB_API int vehcan_db_set_path(const char *path);

/*
 * Why the calling thread's most recent lookup failed, as
 * "<file>:<line>: <reason>" (or "<file>: <reason>" where no line applies,
 * as for a missing file or node); "" when it succeeded or none was made.
 * The text belongs to the thread and stays valid until its next lookup.
 */
VEHCAN_DB_API const char *vehcan_db_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* VEHCAN_DB_H */
