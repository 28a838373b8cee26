// SPDX-License-Identifier: MIT
/*
 * vehcan: SAE J1939 over Linux SocketCAN (CAN_J1939) for embedded gateways.
 *
 * The public C interface of libvehcan. Usable from C11 and C++.
 *
 * Conventions that hold for every function below unless its comment says
 * otherwise:
 *  - The result is an int status: 0 for success, or one of the J1939_* codes.
 *  - Results travel through pointer out-parameters. An out-parameter is
 *    written only on the paths its comment names; on all other paths it keeps
 *    the caller's value.
 *  - The caller owns every buffer it passes; the library keeps no pointer to
 *    it after the call returns and allocates nothing on the heap.
 *  - Payloads are caller-owned bytes indexed from 0 (the standard's byte n is
 *    index n - 1); multi-byte parameters are little-endian.
 *  - `long` and `unsigned long` are 32 bits wide on the 32-bit ARM gateway;
 *    nothing here assumes 64.
 */
#ifndef VEHCAN_J1939_STACK_H
#define VEHCAN_J1939_STACK_H

#include <linux/can.h>
#include <linux/can/j1939.h>
#include <linux/types.h>
#include <mqueue.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#if defined(VEHCAN_BUILDING_LIBRARY)
#define VEHCAN_API __attribute__((visibility("default")))
#else
#define VEHCAN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Laid out by hand: the tables of codes, record members and globals are
 * aligned for reading, so the formatter leaves this header alone. */
/* clang-format off */

/* ---- status codes -------------------------------------------------------- */

#define J1939_FAIL (-1)                       /* generic failure */
#define J1939_TP_TRANSFER_STARTED (-2)        /* reassembly: a TP.CM opened a transfer */
#define J1939_TP_FIRST_PACKET (-3)            /* reassembly: data packet 1 was stored */
#define J1939_ERR_MQ_UNLINK (-174)            /* removing a queue name failed */
#define J1939_ERR_MQ_OPEN (-175)              /* opening a message queue failed */
#define J1939_ERR_XML_READ (-4040)            /* database gave no value, or a required argument was 0 */
#define J1939_ERR_SOCK_CLOSE (-4043)          /* closing a socket failed */
#define J1939_ERR_SOCK_BIND (-4044)           /* binding a socket failed */
#define J1939_ERR_SOCK_OPT (-4045)            /* setting a socket option failed */
#define J1939_ERR_SOCK_CREATE (-4046)         /* creating a socket failed */
#define J1939_ERR_THREAD_CREATE (-4047)       /* starting a background thread failed */
#define J1939_ERR_INVALID_FIELD (-4062)       /* text missing, or unknown definition kind */
#define J1939_ERR_ACK_CANNOT_RESPOND (-4070)  /* acknowledgement: cannot respond */
#define J1939_ERR_ACK_ACCESS_DENIED (-4071)   /* acknowledgement: access denied */
#define J1939_ERR_ACK_NACK (-4072)            /* acknowledgement: negative */
#define J1939_ERR_INVALID_DATA (-4073)        /* no data, short data, bad bit position or count */
#define J1939_ERR_NO_BUS_TRAFFIC (-4074)      /* nothing received while probing a bit rate */
#define J1939_ERR_RESP_TIMEOUT (-4075)        /* no queue record arrived in time */
#define J1939_ERR_LINK_DOWN (-4077)           /* taking the link down failed */
#define J1939_ERR_LINK_UP (-4079)             /* bringing the link up / opening the receive socket failed */
#define J1939_PGN_NOT_SUPPORTED 4090          /* the decoder has no rule for the PGN (positive) */

/* ---- state codes written by the status decoders ---------------------------- */

#define J1939_CLUTCH_SWITCH_RELEASED 4081
#define J1939_CLUTCH_SWITCH_DEPRESSED 4082
#define J1939_BRAKE_SWITCH_RELEASED 4083
#define J1939_BRAKE_SWITCH_DEPRESSED 4084
#define J1939_CRUISE_CONTROL_OFF 4085
#define J1939_CRUISE_CONTROL_ON 4086
#define J1939_DRIVER1_CARD_NOT_PRESENT 4091
#define J1939_DRIVER2_CARD_NOT_PRESENT 4092
#define J1939_DRIVER1_CARD_PRESENT 4095
#define J1939_DRIVER2_CARD_PRESENT 4096

/* ---- records --------------------------------------------------------------- */

/*
 * An SPN definition read from the parameter database by get_spn_details().
 * Its bin_val member also serves the nibble splitter i_hex_to_bin(). The
 * caller owns the record; the library never clears it and writes only the
 * members that the called function names.
 */
typedef struct parse_dbc {
    long pgn;                /* not used by the library */
    char *spn_dat[25];       /* fields of the last split definition; valid only during the call */
    int status;              /* definition kind (0, 1 or 2) */
    unsigned long spn[20];   /* not used by the library */
    int no_of_spn;           /* not used by the library */
    int nbytes;              /* kind 0: number of byte positions in pos */
    int line_number;         /* not used by the library */
    unsigned long spn_1;     /* the SPN whose definition was asked for */
    double offset;           /* kinds 0 and 2 */
    double scale;            /* kinds 0 and 2 */
    char unit[10];           /* kinds 0 and 2, NUL-terminated */
    int bin_val[4];          /* nibble splitter: entry 0 = bit 3 ... entry 3 = bit 0 */
    int pos[100];            /* kind 0: byte positions, nbytes of them */
    int pos_byte;            /* kinds 1 and 2 */
    int start_bit;           /* kinds 1 and 2 */
    int end_bit;             /* kinds 1 and 2 */
    int n_bits;              /* kind 1 */
    char description[256];   /* field 0 of the definition, NUL-terminated */
} parse_dbc;

/* One decoded diagnostic trouble code, laid out as the first code of a DM1. */
typedef struct dtc_dat {
    int mil_status;          /* malfunction indicator lamp, 0-3 */
    int rsl_status;          /* red stop lamp, 0-3 */
    int awl_status;          /* amber warning lamp, 0-3 */
    int pl_status;           /* protect lamp, 0-3 */
    unsigned long spn;       /* suspect parameter number, 19 bits */
    int fmi;                 /* failure mode identifier, 0-31 */
    int occurence_count;     /* not written by decode_dtc() */
} DTC;
typedef struct dtc_dat dtc_dat;

/* ---- stack state ------------------------------------------------------------
 * Process-wide, zero at load, owned by the stack. Hosts may read them; the
 * stack writes them from its own threads. req_flag and g_r_pgn are accessed
 * atomically by the library: a host that writes them itself must do so
 * atomically too (e.g. __atomic_store_n), the PGN before the flag.
 */
VEHCAN_API extern int init_status;               /* 1 once a bring-up completed, never reset */
VEHCAN_API extern int resp_sock;                 /* receive socket; <= 0: none */
VEHCAN_API extern struct sockaddr_can sockname;  /* local address of the receive socket */
VEHCAN_API extern struct sockaddr_can peername;  /* sender of the last received message */
VEHCAN_API extern pthread_t tid[4];              /* [0] receiver, [1] filter */
VEHCAN_API extern struct mq_attr attr;           /* attributes of the three queues */
VEHCAN_API extern mqd_t resv_mq;                 /* "/recv_queue" */
VEHCAN_API extern mqd_t bc_mq;                   /* "/brdcst_queue" */
VEHCAN_API extern mqd_t req_resp_mq;             /* "/reqst_resp_queue" */
VEHCAN_API extern int req_flag;                  /* 1 while a request is pending */
VEHCAN_API extern __u32 g_r_pgn;                 /* PGN of the pending request */
VEHCAN_API extern uint8_t g_multi_pkt_msg[50];   /* reassembly buffer */
VEHCAN_API extern int g_multi_pkt_msg_len;       /* bytes stored in g_multi_pkt_msg */
VEHCAN_API extern unsigned long g_msg_len;       /* bytes still expected */
VEHCAN_API extern unsigned long g_total_msg_len; /* size announced by the last TP.CM */
VEHCAN_API extern uint8_t g_no_of_pkts;          /* packets announced; 0: no open transfer */
VEHCAN_API extern int g_n_pkt;                   /* packets announced (recorded only) */
VEHCAN_API extern __u32 g_recvd_pgn;             /* PGN being transferred */
VEHCAN_API extern int multi_frame_mode;          /* 0 none, 1 "/brdcst_queue", 2 "/reqst_resp_queue" */

/* ---- stack life cycle ------------------------------------------------------ */

/*
 * Brings the stack up on can0. Probes 250000, 500000, 1000000, 125000 and
 * 100000 bit/s in that order, each listen-only for up to 5 s (a silent bus
 * costs at least 25 s). At the first rate with traffic it sets the link to
 * that rate in normal mode, and, the first time only, opens the promiscuous
 * receive socket, creates "/recv_queue", "/brdcst_queue" and
 * "/reqst_resp_queue" and starts the receiver and filter threads (detached,
 * running to the end of the process). Needs the right to reconfigure can0
 * (root or CAP_NET_ADMIN) and to create three queues of 5000 x 5078 bytes.
 * @returns 0 when the stack is up (also when it was up already);
 *          J1939_FAIL when no rate showed traffic; J1939_ERR_LINK_UP when the
 *          link could not be set to the detected rate or the receive socket
 *          failed; J1939_ERR_MQ_OPEN; J1939_ERR_THREAD_CREATE.
 *          A failed step undoes nothing the earlier steps did.
 * Not thread-safe against j1939_can_deinit() or itself.
 */
VEHCAN_API int j1939_can_init(void);

/*
 * Takes can0 down ("ifconfig can0 down"), removes the three queue names and
 * closes the receive socket, forgetting it (resp_sock becomes 0; the receiver
 * thread opens a new socket once the link is back). Stops no thread and
 * closes no queue descriptor; init_status is unchanged.
 * @returns 0; J1939_ERR_LINK_DOWN if the command failed; J1939_ERR_SOCK_CLOSE
 *          if the close failed (takes precedence).
 */
VEHCAN_API int j1939_can_deinit(void);

/*
 * One probe at bps: tear down, bring the link up listen-only at bps (plain
 * link-up if the controller refuses listen-only) and listen up to 5 s.
 * @returns 0 when traffic was seen or bps is 0 (no command runs then);
 *          J1939_ERR_LINK_UP when the link-up failed; J1939_ERR_LINK_DOWN
 *          when only the tear-down's command failed (nothing is listened to);
 *          otherwise the result of j1939_check_response().
 */
VEHCAN_API int j1939_find_baudrate(int bps);

/* Runs "ip link set can0 up type can bitrate <bps>". @returns system()'s result, unchanged. */
VEHCAN_API int can_init(int bps);

/*
 * Listens once, up to 5 s, on a probe socket of its own (broadcast on, not
 * promiscuous). Any message, empty ones included, counts as traffic.
 * @returns 0; J1939_ERR_NO_BUS_TRAFFIC; J1939_ERR_SOCK_CREATE;
 *          J1939_ERR_SOCK_OPT; J1939_ERR_SOCK_BIND; J1939_ERR_SOCK_CLOSE
 *          (the close's failure overrides any other result).
 */
VEHCAN_API int j1939_check_response(void);

/*
 * Opens the promiscuous receive socket on can0 into resp_sock (5 s receive
 * time-out). Returns 0 at once when resp_sock is already > 0. Safe to call
 * from the host and the receiver thread at once: only one of them opens.
 * @returns 0; J1939_ERR_SOCK_CREATE (resp_sock holds the negative result);
 *          J1939_ERR_SOCK_BIND (the socket stays open and recorded).
 */
VEHCAN_API int j1939_can_socket_init(void);

/*
 * Creates the three queues (O_RDWR | O_CREAT | O_NONBLOCK, mode 0644, 5000
 * records of 5078 bytes), first removing stale ones, after lifting
 * RLIMIT_MSGQUEUE. Beside each exported descriptor it opens a blocking,
 * receive-only descriptor of the same queue for the library's own readers
 * (the filter thread and the retrieval calls); like the exported ones, these
 * are never closed. Failing to open one is not an error: its readers then
 * poll the exported descriptor. @returns 0 or J1939_ERR_MQ_OPEN.
 */
VEHCAN_API int mq_init(void);

/*
 * Starts and detaches the receiver (tid[0]) and filter (tid[1]) threads and
 * prints one line for each successful detach.
 * @returns 0 or J1939_ERR_THREAD_CREATE.
 */
VEHCAN_API int j1939_thread_init(void);

/* Unlinks the three queue names, each whatever the others gave. @returns 0 or J1939_ERR_MQ_UNLINK. */
VEHCAN_API int mq_delete(void);

/* ---- receiver and filter threads ------------------------------------------- */

/*
 * Body of the receiver thread: turns every message of the receive socket
 * into a queue record on "/recv_queue". A queue record is 5078 bytes: byte 0
 * the payload length n (1..128), bytes 1-2 the low 16 bits of the PGN, most
 * significant first, then n payload bytes, zero after them. A transport
 * frame's record (PGN 60416, 60671, 60160, 60415; n = 8) carries the sender's
 * address in byte 11 and the receiver's in byte 12 (0xFF: to all); such
 * records never leave the library. Each receive waits for one message and
 * takes up to 16 that the socket already holds; every record is sent on its
 * own, and peername is updated for every message without a lock. Returns
 * only if it finds no socket at its start and cannot open one.
 */
VEHCAN_API void j1939_resp_recv(void);

/* Receives and discards every record waiting on queue_id. @returns 0. */
VEHCAN_API int clear_message_queue(mqd_t queue_id);

/*
 * Body of the filter thread; never returns. Routes the answer to the pending
 * request to "/reqst_resp_queue", other traffic to "/brdcst_queue", drops
 * acknowledgements while a request for another PGN is pending, reassembles
 * transport frames (up to 8 transfers at once, each between one sender and
 * one receiver, with the same rules as multi_frame_message_handler()) and
 * delivers reassembled vehicle (65260) and driver (65131) identification
 * messages. Waits and receives in one call on its blocking descriptor of
 * "/recv_queue" (mq_init()), waking once a second while the queue is empty
 * to close an idle request socket; uses no CPU while the bus is silent. When
 * resv_mq is not the descriptor mq_init() opened, it polls resv_mq instead.
 */
VEHCAN_API void j1939_filter_response(void);

/*
 * Feeds one transport frame (TP.CM 60416/60671, TP.DT 60160/60415) into the
 * one transfer that the transfer globals describe, whoever sent the frame.
 * Reads at most min(length, 8) bytes of rep and stores at most 50 bytes.
 * Prints "PGN VAL %x\n" for every frame it accepts as input. A request to
 * send or broadcast announcement opens a transfer, an abort ends it, other
 * TP.CM frames leave it alone. Packets are stored in order only: packet 1
 * (again) restarts an open transfer; a duplicate, a packet after a gap and
 * any packet once the message completed or was aborted are not stored.
 * @returns J1939_ERR_INVALID_DATA for pgn_val 0, a null rep or length <= 0;
 *          J1939_TP_TRANSFER_STARTED when a TP.CM opened a transfer;
 *          J1939_TP_FIRST_PACKET when packet 1 was stored; 0 when the message
 *          is complete; J1939_FAIL for anything else (not a transport PGN, no
 *          open transfer, a sequence number above the count or out of order,
 *          an announcement above 50 bytes, a frame too short for its fields,
 *          a packet after the message completed, or bytes still expected
 *          after a packet).
 * Not reentrant: it owns the transfer globals. The filter thread does not
 * call it: it keeps transfers between other nodes apart by sender and
 * receiver (up to 8 at once) and leaves the globals describing the transfer
 * it touched last.
 */
VEHCAN_API int multi_frame_message_handler(__u32 pgn_val, const uint8_t *rep, int length);

/*
 * Decodes the control byte of an acknowledgement (PGN 59392).
 * @returns J1939_ERR_INVALID_DATA for pgn_val 0, a null rep or length <= 0;
 *          0 for any other PGN and for a positive acknowledgement;
 *          J1939_ERR_ACK_NACK (1), J1939_ERR_ACK_ACCESS_DENIED (2),
 *          J1939_ERR_ACK_CANNOT_RESPOND (3); J1939_FAIL for other bytes.
 */
VEHCAN_API int get_ack_type(__u32 pgn_val, const uint8_t *rep, int length);

/* ---- requests and retrieval ------------------------------------------------ */

/*
 * Sends a J1939 Request (PGN 59904, data: req_pgn LSB first, 0) from the low
 * 8 bits of sa_node to the low 8 bits of da_node (0xFF: all nodes). Unless
 * req_pgn is 65228 (DM3) or 65235 (DM11), the request becomes the pending one
 * before it is sent, also when the send then fails. The socket stays bound at
 * sa_node until the answer is routed, a new request replaces it or about 3 s
 * pass, so that the kernel can receive a multi-packet answer addressed to it.
 * @returns 3 (bytes sent); J1939_FAIL when the send failed;
 *          J1939_ERR_SOCK_BIND when no bound socket could be had (nothing is
 *          sent and the pending request is unchanged).
 */
VEHCAN_API int j1939_send_request_message(uint16_t req_pgn, uint16_t sa_node, uint16_t da_node);

/*
 * Takes the next record off "/reqst_resp_queue", waiting without spinning.
 * A waiting record is always taken; with none, gives up after more than 2 and
 * at most about 3 s (at the first empty receive once the monotonic clock's
 * whole seconds have advanced by 3). Waiting and receiving are one call
 * (mq_timedreceive) on the library's blocking descriptor of the queue, so a
 * record already there costs one system call. That call's deadline is on the
 * wall clock: the time left on the monotonic clock, measured again after
 * every wake, so a step of the wall clock back while it waits lengthens the
 * wait by up to the step. When req_resp_mq is not the descriptor mq_init()
 * opened, the call polls req_resp_mq instead. On success *len receives the record's length;
 * if its PGN equals pgn and the length is not 0, that many bytes are copied
 * to ar_brd_cast_resp (room for 255 bytes). A record of another PGN is taken
 * and dropped: *len is set, the buffer is left alone, the result is 0.
 * @returns 0 or J1939_ERR_RESP_TIMEOUT (nothing written).
 */
VEHCAN_API int j1939_recv_request_response(uint8_t *ar_brd_cast_resp, int *len, uint32_t pgn);

/*
 * Takes the next record off "/brdcst_queue" like the call above, giving up
 * after more than 1 and at most about 2 s. On success writes *len and *pgn
 * and copies the payload (room for 255 bytes) when the length is not 0.
 * @returns 0 or J1939_ERR_RESP_TIMEOUT (nothing written).
 */
VEHCAN_API int j1939_recv_broadcast_response(uint8_t *ar_brd_cast_resp, int *len,
                                             long unsigned int *pgn);

/* ---- scaled value decoders ------------------------------------------------- */

/*
 * Decodes the one fixed-scaling parameter of twelve PGNs into *value:
 * 61443 pedal %, 61444 rpm, 64777 L, 65132 km/h, 65216 km, 65217 m,
 * 65253 h, 65257 L, 65258 kg, 65262 degC, 65265 km/h, 65276 %.
 * A not-available 8-bit byte (0xFF) leaves *value alone; all-0xFF 16- and
 * 32-bit fields write the row's offset. len <= 0 is not checked (the caller
 * vouches for 8 bytes).
 * @returns 0 when pgn has a row (also when not available);
 *          J1939_PGN_NOT_SUPPORTED without a row; J1939_ERR_INVALID_DATA for
 *          a null payload or a positive len that misses the row's bytes.
 */
VEHCAN_API int decode_without_xml(const uint8_t *ar_raw_data, int len, unsigned long pgn,
                                  double *value);

/*
 * Axle position (1-16, front to back) from the upper nibble of byte 0 of
 * Vehicle Weight (65258). len is not consulted (any positive len covers
 * byte 0). @returns 0 with *value written; J1939_FAIL (nothing written) for
 *          another PGN, byte 0 of 0xFF or a null payload.
 */
VEHCAN_API int get_axle_location(const uint8_t *ar_raw_data, int len, unsigned long pgn,
                                 int *value);

/* ---- nibble splitter and status decoders ------------------------------------
 * Each decoder writes an output only for the field values it names, and
 * leaves it alone for error, not-available and reserved values (a caller that
 * must tell them apart presets its outputs). Two-output decoders decode each
 * field on its own. Pure functions: reentrant, no state.
 * @returns 0 after a decode; J1939_ERR_INVALID_DATA for a null payload,
 *          len <= 0 or a len that misses the highest byte read (noted per
 *          decoder); nothing is written on a refusal.
 */

/* Splits val (0..15) into p_dbc->bin_val, bit 3 first; val > 15 gives all 0. */
VEHCAN_API void i_hex_to_bin(uint8_t val, parse_dbc *p_dbc);

/* CCVS (65265) byte 3 (len >= 4): clutch (bits 7-6), brake (5-4), cruise control
 * active (1-0); 00 released/off, 01 depressed/on, 10 and 11 left alone.
 * @returns J1939_PGN_NOT_SUPPORTED for another PGN, a null payload or len <= 0;
 *          J1939_ERR_INVALID_DATA for a len of 1 to 3. */
VEHCAN_API int j1939_get_clutch_cruice_cntrl_brake_switch_state(const uint8_t *ar_raw_data,
                                                                int len, unsigned long pgn,
                                                                int *clutch_switch_state,
                                                                int *break_switch_state,
                                                                int *cruice_cntrl_state);
/* Byte 6 bits 3-0 (len >= 7; pgn not consulted): 0 -> 0, 5 -> 5, 15 -> 31. */
VEHCAN_API int j1939_get_pto_state(const uint8_t *ar_raw_data, int len, unsigned long pgn,
                                   int *pto_state);
/* Byte 6 bits 1-0 (len >= 7; pgn not consulted), always written. */
VEHCAN_API int j1939_get_ptode_state(const uint8_t *ar_raw_data, int len, unsigned long pgn,
                                     int *pto_de_state);
/* TCO1 byte 0 (len >= 1): driver 1 bits 2-0, driver 2 bits 5-3; 4 and 5 are left alone. */
VEHCAN_API int j1939_get_driver_working_state(const uint8_t *ar_raw_data, int len,
                                              int *driver1_working_state,
                                              int *driver2_working_state);
/* TCO1 bytes 1 and 2 (len >= 3), bits 5-4: 00 not present, 01 present. */
VEHCAN_API int j1939_get_driver_card_state(const uint8_t *ar_raw_data, int len,
                                           int *driver_card1_status, int *driver_card2_status);
/* TCO1 bytes 1 and 2 (len >= 3), bits 3-0: 0-6, 14, 15 written; 7-13 left alone. */
VEHCAN_API int j1939_get_driver_rel_state(const uint8_t *ar_raw_data, int len,
                                          int *driver1_rel_state, int *driver2_rel_state);

/* ---- text field decoders ----------------------------------------------------- */

/*
 * Splits a driver identification payload (65131) at '*' into two
 * NUL-terminated strings; each output needs its field plus the zero, 256
 * bytes always suffice, and nothing after the zero is written. An empty field
 * reads "*"; a field is cut at 255 bytes; a zero byte ends a field's text;
 * with no '*' at all driver 2 is "". Reads no byte at or beyond len.
 * @returns 0 (both written); J1939_ERR_INVALID_DATA for a null payload or
 *          len <= 0 (nothing written).
 */
VEHCAN_API int j1939_tacho_get_drivers_id(const uint8_t *ar_raw_data, int len, char *driver1_id,
                                          char *driver2_id);

/*
 * Copies the vehicle identification number (65260) up to its '*' (or all
 * len bytes) into vin, which the caller sizes for len + 1 bytes, and ends it
 * with a zero; a leading '*' gives "*". Then prints it and a newline to
 * standard output. @returns 0; J1939_ERR_INVALID_DATA for a null payload or
 * len <= 0 (nothing written or printed).
 */
VEHCAN_API int decode_vehicle_identification_number(const uint8_t *ar_raw_data, int len,
                                                    char *vin);

/* ---- parameter database -------------------------------------------------------
 * Every read goes through get_xml_content() (see libxml2.h), which the host
 * supplies (vehcan-db supplies one over an XML file), always with the file
 * "/sample.xml" and a buffer cleared to zero: 1000 bytes for the subnode
 * "SPN_LIST", 120 for every other. Keys: node "PGN<pgn>" with subnodes
 * "SPN_LIST", "SPN_<spn>" and "SPN_<spn>_<state>"; node "SERVICE_COMPONENET"
 * with subnodes "SC_ID_<id>". Numbers are written as signed long ("%ld").
 *
 * The reference to get_xml_content() is weak: in a process that supplies
 * none, the library still loads and every lookup gives J1939_ERR_XML_READ.
 *
 * Database texts are comma-separated fields; empty fields are skipped
 * (",3,,190," is "3,190"). An SPN list is the count, then the SPNs. A
 * definition is description,kind,... with at most 25 fields:
 *   kind 0: scale,offset,unit,nbytes, then nbytes byte positions (at most 19)
 *   kind 1: pos_byte,n_bits,start_bit,end_bit
 *   kind 2: pos_byte,scale,offset,unit,start_bit,end_bit
 * Scale and offset are read with chartofloat(), the unit is copied (cut to
 * nine characters), every other number is read with chartoint(); a field
 * that holds no number reads as 0.
 *
 * A PGN, SPN or state too large for its key buffer (16 bytes for the node,
 * 32 for the subnode; only possible where long is 64 bits wide) is refused
 * with J1939_ERR_XML_READ before any lookup: a cut key would name another
 * value.
 *
 * All functions run in the caller's thread, hold no lock and keep no state;
 * each splits its own copy of the text, so they may be called from several
 * threads at once as far as get_xml_content() allows it. Cost: one lookup.
 */

/* Raw readers: build the keys, look up once into the caller's buffer (1000
 * bytes for the SPN list, 120 for the others) and return the lookup's result
 * unchanged: 0 when found, its own non-zero value when not, or
 * J1939_ERR_XML_READ when a key does not fit or no lookup is supplied. */
VEHCAN_API int read_spn_list_content(unsigned long pgn_num, char *spn_num_list);
VEHCAN_API int read_spn_details(unsigned long pgn_no, unsigned long spn, char *spn_cont);
VEHCAN_API int read_state_parameter(unsigned long no_pgn, unsigned long spn, long spn_state,
                                    char *para_state);
VEHCAN_API int read_service_component_description(int id, char *serv_descpn);

/*
 * The number of SPNs of pgn (the first field of its SPN list) into *spn_count.
 * @returns 0; the lookup's non-zero result, unchanged; J1939_ERR_XML_READ
 *          for a list without any field. Only 0 writes *spn_count.
 */
VEHCAN_API int get_spn_no(unsigned long pgn, int *spn_count);

/*
 * The SPN list of pgn: spn_arr[0] the count (first field), spn_arr[1] on the
 * SPNs in list order. Stores at most 1 + count entries (only spn_arr[0] for a
 * count of 0 or less), fewer when the list holds fewer SPNs; size spn_arr
 * from get_spn_no(). cont is not used.
 * @returns 0; J1939_ERR_XML_READ when the list is missing or has no field
 *          (nothing written).
 */
VEHCAN_API int get_spn_numbers(unsigned long pgn, unsigned long *spn_arr, int cont);

/*
 * The definition of spn in pgn into *p_dbc. Always writes spn_1 first and
 * points spn_dat[0..n-1] at the n fields split (into a copy that lives only
 * during the call: the pointers dangle afterwards and must not be read).
 * With a kind in field 1 it writes description and status, then the members
 * of the kind listed above; members the kind does not name keep their values.
 * @returns 0; J1939_ERR_XML_READ when the definition is not found (only
 *          spn_1 and spn_dat written); J1939_ERR_INVALID_FIELD when the
 *          definition has no kind field (only spn_1 and spn_dat written), a
 *          kind other than 0, 1 and 2, or fewer fields than its kind names
 *          (description and status written, nothing of the kind).
 */
VEHCAN_API int get_spn_details(unsigned long pgn, unsigned long spn, parse_dbc *p_dbc);

/*
 * The name of state `value` of spn in pgn into st: all 256 bytes of st are
 * cleared, then the text (at most 119 bytes) is copied.
 * @returns 0; J1939_ERR_XML_READ, st untouched, when the text is missing or
 *          when pgn, spn or no_of_bits is 0 (then without a lookup;
 *          no_of_bits serves no other purpose).
 */
VEHCAN_API int read_bit_data(unsigned long pgn, unsigned long spn, long value, int no_of_bits,
                             char *st);

/*
 * The description of service component id into component (120 bytes), or
 * "Not defined" when the lookup fails.
 * @returns 0; the lookup's non-zero result, unchanged; J1939_ERR_XML_READ
 *          for id 0 (nothing written, no lookup).
 */
VEHCAN_API int get_service_component(int id, char *component);

/* ---- DTC decoding ------------------------------------------------------------- */

/*
 * Decodes lamps (byte 0), SPN (bytes 2-4) and FMI (byte 4) of a DM1 payload
 * of at least 5 bytes; pgn and len are not consulted; occurence_count is not
 * written. @returns 0; J1939_ERR_INVALID_DATA for a null payload or record.
 */
VEHCAN_API int decode_dtc(unsigned int pgn, const uint8_t *raw_data, int len, dtc_dat *dtc);

/* ---- conversion helpers --------------------------------------------------------
 * A binary-digit number is an int whose decimal digits are binary digits
 * (101 stands for 5); an int holds at most ten of them. Beyond that limit the
 * helpers saturate instead of overflowing: see each function.
 */

/* strtol(val, 10) as int; text beyond the int range gives INT_MIN or INT_MAX.
 * @returns the value, or J1939_ERR_INVALID_FIELD for a null val. */
VEHCAN_API int chartoint(const char *val);
/* *var = strtod(val). @returns 0, or J1939_ERR_INVALID_FIELD for a null val. */
VEHCAN_API int chartofloat(const char *val, double *var);
/* Value of a binary-digit number; digit d at position k adds d * 2^k; a
 * negative n gives the negative of its magnitude's value. Never overflows. */
VEHCAN_API int binaryToDecimal(int n);
/* Joins the elements as decimal digits, first leftmost ({1, 0, 1} joins to
 * 101), and converts the join with binaryToDecimal() into *dec_val; ar_size
 * <= 0 gives 0. The join stops before an element that would take it beyond
 * the int range: that element and the rest are ignored. @returns 0. */
VEHCAN_API int bin_arr_to_dec(const int *bin_ar, int ar_size, int *dec_val);
/* Joins up to no_bits (at most 10) bits from position end downward.
 * @returns 0; J1939_ERR_INVALID_DATA for no_bits, start or end <= 0 or
 *          no_bits > 10 (nothing written). */
VEHCAN_API int filter_bits(const int *bin_ar, int start, int end, int no_bits, int *dec_val);
/* Binary-digit number of dec_val (5 gives 101, -5 gives -101). Values beyond
 * -1023..1023 saturate at -1111111111 and 1111111111. @returns 0. */
VEHCAN_API int dec_num_to_bin_num(int dec_val, long *binary_val);
/* Whole seconds from time_start to time_end (nanoseconds ignored). */
VEHCAN_API int time_diff_seconds(const struct timespec *time_end,
                                 const struct timespec *time_start);

/* clang-format on */

#ifdef __cplusplus
}
#endif

#endif /* VEHCAN_J1939_STACK_H */
