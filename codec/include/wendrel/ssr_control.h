/* Wendrel: SSR control messages (type SSR_TYPE_MNG) of both sides, client and gateway.
 * Conventions (sizing, result codes, pointers into the message): see wendrel/ssr_codec.h.
 *
 * Wire notation used below: offsets count from the start of the message; u16/u32 are big-endian;
 * "field[N]" is a fixed field of N bytes holding a NUL-terminated text of at most N-1 characters
 * (a longer text is refused with -6, never cut); "L" is a u16 counting the following text's bytes
 * with its NUL; a route list is a u32 count n and n entries {destination, mask, next hop}.
 * Optional pointers: a NULL text is sent as an empty text, a NULL list as an empty list, unless
 * marked "required". Out-arguments of extractors are all required.
 */
#ifndef WENDREL_SSR_CONTROL_H
#define WENDREL_SSR_CONTROL_H

#include "wendrel/ssr_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Control codes (header byte 1). */
#define SSR_CODE_MNG_CLIENT_LOGON_REQUEST 0
#define SSR_CODE_MNG_CLIENT_LOGON_ACK 1
#define SSR_CODE_MNG_CLIENT_LOGON_NAK 2
#define SSR_CODE_MNG_LINK_SETUP_REQUEST 3
#define SSR_CODE_MNG_LINK_SETUP_ACK 4
#define SSR_CODE_MNG_LINK_SETUP_NAK 5
#define SSR_CODE_MNG_GW_LOGON_REQUEST 6
#define SSR_CODE_MNG_GW_LOGON_ACK 7
#define SSR_CODE_MNG_GW_LOGON_NAK 8
#define SSR_CODE_MNG_GW_LOGOFF_NOTIFICATION 9
#define SSR_CODE_MNG_GW_REPORT 10
#define SSR_CODE_MNG_GW_UPD_CLIENT 11
#define SSR_CODE_MNG_GW_UPD_ACK 12
#define SSR_CODE_MNG_GW_LOG_USER 13
#define SSR_CODE_MNG_GW_REPORT1 14
#define SSR_CODE_MNG_GW_CLT_REG_REQUEST 15
#define SSR_CODE_MNG_GW_CLT_REG_ACK 16
#define SSR_CODE_MNG_GW_CLT_REG_NAK 17
#define SSR_CODE_MNG_CLT_GW_LOGOFF 18
#define SSR_CODE_MNG_GW_CLT_LOGOFF_ACK 19
#define SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST 20
#define SSR_CODE_MNG_SVR_CLT_LOGON_ACK 21
#define SSR_CODE_MNG_SVR_CLT_LOGON_NAK 22
#define SSR_CODE_MNG_KEEP_ALIVE_REQUEST 23
#define SSR_CODE_MNG_KEEP_ALIVE_RESPONSE 24
#define SSR_CODE_MNG_GW_UPD_CLIENT1 25
#define SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST2 26
#define SSR_CODE_MNG_GW_LOG_APP 87
#define SSR_CODE_MNG_CUT_CLT_LOGOFF 94
#define SSR_CODE_MNG_CLT_SVR_RESET_PWD 103
#define SSR_CODE_MNG_SVR_CLT_RESET_PWD_ACK 104
#define SSR_CODE_MNG_CLT_SVR_LOGON_HARD_REQUEST 105
#define SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3 144
/* Logon answers: the header code decides. */
#define SSR_MNG_GW_CLT_LOGON_RESPON_RELOGON 161
#define SSR_MNG_GW_CLT_LOGON_RESPON_RELOGONOK 162
#define SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK 163

/* Texts of the forced logoff and the reset-password answer land in a caller buffer of this size
 * (at most 63 characters and the terminating NUL are written). */
#define SSR_ERROR_TEXT_BUFFER_SIZE 64

/* Host-order lists handed to constructors: a count, then that many entries (allocate
 * offsetof(list, entries) + count * sizeof(entry)). The one-entry array keeps the empty list at
 * 16 bytes, the size the logon-ack extractors allocate for it. */
typedef struct SSR_ROUTE {
    uint32_t destination;
    uint32_t mask;
    uint32_t next_hop;
} SSR_ROUTE;
typedef struct SSR_ROUTE_LIST {
    uint32_t count;
    SSR_ROUTE routes[1];
} SSR_ROUTE_LIST;

typedef struct SSR_ADDRESS_PAIR {
    uint32_t address;
    uint32_t value;
} SSR_ADDRESS_PAIR;
typedef struct SSR_PAIR_LIST {
    uint32_t count;
    SSR_ADDRESS_PAIR pairs[1];
} SSR_PAIR_LIST;

typedef struct SSR_REPORT_RECORD {
    uint32_t value1;
    uint32_t value2;
    const char* text;
} SSR_REPORT_RECORD;
typedef struct SSR_REPORT_RECORD_LIST {
    uint32_t count;
    SSR_REPORT_RECORD records[1];
} SSR_REPORT_RECORD_LIST;

typedef struct SSR_GATEWAY_ENTRY {
    uint32_t address;
    uint16_t ticket_length;
    const void* ticket;
} SSR_GATEWAY_ENTRY;
typedef struct SSR_GATEWAY_LIST {
    uint32_t count;
    SSR_GATEWAY_ENTRY gateways[1];
} SSR_GATEWAY_LIST;

/* 0 ClientLogonRequest: 4 name[32]; 36 text[32]. Payload 64. */
SSR_API int ssr_ConstructClientLogonRequest(void* buf, short* size, const char* name, const char* text);
SSR_API int ssr_ExtractClientLogonRequest(const void* msg, short* size, const char** name, const char** text);

/* 1 ClientLogonAck: 4 name[32]; 36 six u32; 60 route list. Payload 60 + 12n. The extractor
 * returns a malloc'ed host-order copy of the route list (16 bytes when empty); free() it. */
SSR_API int ssr_ConstructClientLogonAck(void* buf, short* size, const char* name, uint32_t virtual_ip,
                                        uint32_t netmask, uint32_t dns1, uint32_t dns2, uint32_t wins1,
                                        uint32_t wins2, const SSR_ROUTE_LIST* routes);
SSR_API int ssr_ExtractClientLogonAck(const void* msg, short* size, const char** name, uint32_t* virtual_ip,
                                      uint32_t* netmask, uint32_t* dns1, uint32_t* dns2, uint32_t* wins1,
                                      uint32_t* wins2, SSR_ROUTE_LIST** routes);

/* 2 ClientLogonNak: 4 name[32]; 36 u32 error; 40 text (required). Payload 37 + len(text). */
SSR_API int ssr_ConstructClientLogonNak(void* buf, short* size, const char* name, uint32_t error,
                                        const char* text);
SSR_API int ssr_ExtractClientLogonNak(const void* msg, short* size, const char** name, uint32_t* error,
                                      const char** text);

/* 3 LinkSetupRequest: 4 name[64]; 68 text[32]. Payload 96. */
SSR_API int ssr_ConstructLinkSetupRequest(void* buf, short* size, const char* name, const char* text);
SSR_API int ssr_ExtractLinkSetupRequest(const void* msg, short* size, const char** name, const char** text);

/* 4 LinkSetupAck: 4 name[64]; 68 u32; 72 u32; 76 route list. Payload 76 + 12n. Route list as for
 * ClientLogonAck (malloc'ed host-order copy). */
SSR_API int ssr_ConstructLinkSetupAck(void* buf, short* size, const char* name, uint32_t virtual_ip,
                                      uint32_t netmask, const SSR_ROUTE_LIST* routes);
SSR_API int ssr_ExtractLinkSetupAck(const void* msg, short* size, const char** name, uint32_t* virtual_ip,
                                    uint32_t* netmask, SSR_ROUTE_LIST** routes);

/* 5 LinkSetupNak: 4 name[64]; 68 u32 error; 72 text (required). Payload 69 + len(text). */
SSR_API int ssr_ConstructLinkSetupNak(void* buf, short* size, const char* name, uint32_t error,
                                      const char* text);
SSR_API int ssr_ExtractLinkSetupNak(const void* msg, short* size, const char** name, uint32_t* error,
                                    const char** text);

/* 6 GWLogonRequest: 4 name[32]; 36 name[32]; 68 u32; 72 text[128]. Payload 196. The extractor
 * returns the last field only when the payload is exactly 196 (else *text = NULL). */
SSR_API int ssr_ConstructGWLogonRequest(void* buf, short* size, const char* name, const char* peer_name,
                                        uint32_t value, const char* text);
SSR_API int ssr_ExtractGWLogonRequest(const void* msg, short* size, const char** name, const char** peer_name,
                                      uint32_t* value, const char** text);

/* 7 GWLogonAck: 4 u32; 8 u16; 10 u16 k; 12 k bytes; route list; then, when pairs is given, u16 m
 * and m entries {u32, u32}. Payload 12 + k + 12n (+ 2 + 8m). The extractor's *routes points at
 * the wire route list, *pairs at the u16 m (NULL when the message carries no second list). */
SSR_API int ssr_ConstructGWLogonAck(void* buf, short* size, uint32_t value, uint16_t flags,
                                    uint16_t data_length, const void* data, const SSR_ROUTE_LIST* routes,
                                    const SSR_PAIR_LIST* pairs);
SSR_API int ssr_ExtractGWLogonAck(const void* msg, short* size, uint32_t* value, uint16_t* flags,
                                  uint16_t* data_length, const void** data, const void** routes,
                                  const void** pairs);

/* 8 GWLogonNak: 4 u32 error; 8 text (required). Payload 5 + len(text). */
SSR_API int ssr_ConstructGWLogonNak(void* buf, short* size, uint32_t error, const char* text);
SSR_API int ssr_ExtractGWLogonNak(const void* msg, short* size, uint32_t* error, const char** text);

/* 9 GWLogoffNotification: header only. */
SSR_API int ssr_ConstructGWLogoffNotification(void* buf, short* size);

/* 10 GWReport: 4 u32. Payload 4. */
SSR_API int ssr_ConstructGWReport(void* buf, short* size, uint32_t value);
SSR_API int ssr_ExtractGWReport(const void* msg, short* size, uint32_t* value);

/* 11 GWUpdClient: 4 u32; 8 L; 10 text; u16. Payload 9 + len(text). */
SSR_API int ssr_ConstructGWUpdClient(void* buf, short* size, uint32_t value, const char* text,
                                     uint16_t flags);
SSR_API int ssr_ExtractGWUpdClient(const void* msg, short* size, uint32_t* value, uint16_t* text_length,
                                   const char** text, uint16_t* flags);

/* 12 GWUpdAck: 4 u32; 8 L; 10 text; u16, u16, u32, u32. Payload 19 + len(text). */
SSR_API int ssr_ConstructGWUpdAck(void* buf, short* size, uint32_t value, const char* text, uint16_t value2,
                                  uint16_t value3, uint32_t value4, uint32_t value5);
SSR_API int ssr_ExtractGWUpdAck(const void* msg, short* size, uint32_t* value, uint16_t* text_length,
                                const char** text, uint16_t* value2, uint16_t* value3, uint32_t* value4,
                                uint32_t* value5);

/* 13 GWLogUser: 4 u32; 8 L; 10 name; u32; u32 = len(text) + 1; text. Payload 16 + len(name) + len(text). */
SSR_API int ssr_ConstructGWLogUser(void* buf, short* size, uint32_t value, const char* name, uint32_t value2,
                                   const char* text);
SSR_API int ssr_ExtractGWLogUser(const void* msg, short* size, uint32_t* value, uint16_t* name_length,
                                 const char** name, uint32_t* value2, uint32_t* text_length,
                                 const char** text);

/* 14 GWReport1: 4 u32; 8 u32 n; n records {u32, u32, u16 L, L bytes text}; u32 p; p pairs
 * {address, byte count}; u32 q; q pairs. Payload 16 + sum(10 + L) + 8(p + q). The extractor
 * checks the whole structure, logs every pair and returns pointers at the three wire counts. */
SSR_API int ssr_ConstructGWReport1(void* buf, short* size, uint32_t value,
                                   const SSR_REPORT_RECORD_LIST* records, const SSR_PAIR_LIST* source_flows,
                                   const SSR_PAIR_LIST* destination_flows);
SSR_API int ssr_ExtractGWReport1(const void* msg, short* size, uint32_t* value, const void** records,
                                 const void** source_flows, const void** destination_flows);

/* 15 CltRegRequest (client sends): 4 u32 session id; 8 L; 10 user; u8 cipher selector; u32
 * virtual IP; u16 k; k bytes of ticket. Payload 14 + len(user) + k. */
SSR_API int ssr_ConstructCltRegRequest(void* buf, short* size, uint32_t session_id, const char* user,
                                       uint8_t cipher_selector, uint32_t virtual_ip, uint16_t ticket_length,
                                       const void* ticket);
SSR_API int ssr_ExtractCltRegRequest(const void* msg, short* size, uint32_t* session_id,
                                     uint16_t* user_length, const char** user, uint8_t* cipher_selector,
                                     uint32_t* virtual_ip, uint16_t* ticket_length, const void** ticket);

/* 16 CltRegisterAck (client receives): 4 u16 status; 6 u32 address; 10 u32 mask. Payload 10. */
SSR_API int ssr_ConstructCltRegisterAck(void* buf, short* size, uint16_t status, uint32_t address,
                                        uint32_t mask);
SSR_API int ssr_ExtractCltRegisterAck(const void* msg, short* size, uint16_t* status, uint32_t* address,
                                      uint32_t* mask);

/* 17 CltRegisterNak (client receives): 4 u32 error; 8 text (required). Payload 5 + len(text). */
SSR_API int ssr_ConstructCltRegisterNak(void* buf, short* size, uint32_t error, const char* text);
SSR_API int ssr_ExtractCltRegisterNak(const void* msg, short* size, uint32_t* error, const char** text);

/* 18 CltLogoffNotification (client sends), 19 its acknowledgement: header only. */
SSR_API int ssr_ConstructCltLogoffNotification(void* buf, short* size);
SSR_API int ssr_ConstructCltLogoffNotificationAck(void* buf, short* size);

/* 20 CltLogonSvrRequest: 4 L; 6 user; name[32]; text[128]. Payload 163 + len(user). The
 * extractor returns the last field only when the payload is exactly L + 162 (else NULL). */
SSR_API int ssr_ConstructCltLogonSvrRequest(void* buf, short* size, const char* user, const char* name,
                                            const char* text);
SSR_API int ssr_ExtractCltLogonSvrRequest(const void* msg, short* size, uint16_t* user_length,
                                          const char** user, const char** name, const char** text);

/* 21 SvrCltLogonAck: the logon-accepted body (the gateway sends it with code 163; this
 * constructor writes code 21). In order: u32 session id; L and name; six u32 (virtual IP,
 * netmask, DNS 1, DNS 2, WINS 1, WINS 2); 8 skipped bytes; route list; u16 m gateways {u32
 * address, u16 k, k bytes ticket}; u8 cipher selector; text 1; text 2; u8 registration flag;
 * optional certificate text ("serial+subject", UTF-8). The constructor never writes the
 * certificate text. The extractor returns *routes at the wire route list and *gateways at the
 * u16 m; the certificate text only when its NUL lies inside the payload and it is shorter than
 * 256 characters (else *cert_length = 0, *cert = NULL). */
SSR_API int ssr_ConstructSvrCltLogonAck(void* buf, short* size, uint32_t session_id, const char* name,
                                        uint32_t virtual_ip, uint32_t netmask, uint32_t dns1, uint32_t dns2,
                                        uint32_t wins1, uint32_t wins2, const SSR_ROUTE_LIST* routes,
                                        const SSR_GATEWAY_LIST* gateways, uint8_t cipher_selector,
                                        const char* text1, const char* text2, uint8_t register_flag);
SSR_API int ssr_ExtractSvrCltLogonAck(const void* msg, short* size, uint32_t* session_id,
                                      uint16_t* name_length, const char** name, uint32_t* virtual_ip,
                                      uint32_t* netmask, uint32_t* dns1, uint32_t* dns2, uint32_t* wins1,
                                      uint32_t* wins2, const void** routes, const void** gateways,
                                      uint8_t* cipher_selector, const char** text1, const char** text2,
                                      uint8_t* register_flag, uint8_t* cert_length, const char** cert);

/* 22 CltSvrLogonNak (client receives): 4 eight zero bytes; 12 u32 error; 16 text (required).
 * Payload 13 + len(text). */
SSR_API int ssr_ConstructCltSvrLogonNak(void* buf, short* size, uint32_t error, const char* text);
SSR_API int ssr_ExtractCltSvrLogonNak(const void* msg, short* size, uint32_t* error, const char** text);

/* 23, 24 keep-alive request and response: header only; the extractors only check the length. */
SSR_API int ssr_ConstructKeepAliveRequest(void* buf, short* size);
SSR_API int ssr_ExtractKeepAliveRequest(const void* msg, short* size);
SSR_API int ssr_ConstructKeepAliveResponse(void* buf, short* size);
SSR_API int ssr_ExtractKeepAliveResponse(const void* msg, short* size);

/* 25 GWUpdClient1: 4 u32; 8 L; 10 text; u16; u32. Payload 13 + len(text). */
SSR_API int ssr_ConstructGWUpdClient1(void* buf, short* size, uint32_t value, const char* text,
                                      uint16_t value2, uint32_t value3);
SSR_API int ssr_ExtractGWUpdClient1(const void* msg, short* size, uint32_t* value, uint16_t* text_length,
                                    const char** text, uint16_t* value2, uint32_t* value3);

/* 144 CltLogonSvrRequest3 (client sends): 4 u16 len(user); 6 u16 len(password); 8 twelve zero
 * bytes; 20 u32 session id; 24 u32 update flag; 28 eight zero bytes; 36 user text; password
 * text; hardware id[128]. Payload 162 + len(user) + len(password). user and password required. */
SSR_API int ssr_ConstructCltLogonSvrRequest3(void* buf, short* size, const char* user, const char* password,
                                             uint32_t session_id, const char* hardware_id,
                                             uint32_t update_flag);
/* 26 CltLogonSvrRequest2 and 105 CltLogonSvrHardRequest: the layout of 144 with bytes 20-27 zero. */
SSR_API int ssr_ConstructCltLogonSvrRequest2(void* buf, short* size, const char* user, const char* password,
                                             const char* hardware_id);
SSR_API int ssr_ConstructCltLogonSvrHardRequest(void* buf, short* size, const char* user,
                                                const char* password, const char* hardware_id);

/* 87 GWLogApp: the layout of 13. */
SSR_API int ssr_ConstructGWLogApp(void* buf, short* size, uint32_t value, const char* name, uint32_t value2,
                                  const char* text);

/* 94 SvrCutCltLogoff (client receives; 32-bit size): 4 u32 error; 8 four bytes not read; 12 text.
 * text receives at most 63 characters and a NUL (SSR_ERROR_TEXT_BUFFER_SIZE bytes). */
SSR_API int ssr_ExtractSvrCutCltLogoff(const void* msg, int* size, uint32_t* error, char* text);

/* 103 CltSvrResetPwd (client sends; 32-bit size): 4 user text; old password text; new password
 * text; u32 session id in little-endian order (the one field not in network order). Payload
 * 7 + the three lengths. */
SSR_API int ssr_ConstructCltSvrResetPwd(void* buf, int* size, uint32_t session_id, const char* user,
                                        const char* old_password, const char* new_password);

/* 104 SvrCltResetPwdAck (client receives; 32-bit size): 4 u32 error; 8 four bytes not read; 12
 * u32; 16 four bytes not read; 20 text. text receives at most 63 characters and a NUL. */
SSR_API int ssr_ExtractSvrCltResetPwdAck(const void* msg, int* size, uint32_t* error, uint32_t* value,
                                         char* text);

#ifdef __cplusplus
}
#endif

#endif /* WENDREL_SSR_CONTROL_H */
