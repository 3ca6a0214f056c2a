// Core utility library: text containers, configuration files, base64, the push cipher,
// program execution, directory creation and a per-thread error slot.
//
// Every call is safe with null or malformed arguments: it returns its failure value and
// records an error code in the error slot. Nothing in the library throws or aborts.
#ifndef KEVOCORE_H
#define KEVOCORE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define UID_ERR ((uid_t)-1)
#define GID_ERR ((gid_t)-1)

// Error codes of the error slot.
#define KVERR_OUT_OF_MEMORY 0x0200u
#define KVERR_FILE_OPEN 0x0300u
#define KVERR_FILE_FORMAT 0x0400u
#define KVERR_NOT_FOUND 0x0500u
#define KVERR_BUFFER_TOO_SMALL 0x0600u
#define KVERR_BAD_ENCODING 0x0700u
#define KVERR_CRYPT 0x0800u
#define KVERR_EXEC 0x0900u
#define KVERR_MKDIR 0x0A00u
#define KVERR_INVALID_ARGUMENT 0x0D00u

// Text hash: text keys to text values (copies). Opaque; operations that may grow it take
// the address of the handle, which they may replace.
typedef struct _KVSZHASH KVSZHASH;

// Text list: indexed texts (copies). `nItem` is the item count, read directly by callers.
// Operations that may grow it take the address of the handle, which they may replace.
typedef struct _KVSZLIST {
  int nItem;
  int nAlloc;
  char* pszItem[];
} KVSZLIST;

// Set to 1 by the host's --debug flag: failure lines are then also printed to stdout.
extern int giTerminalDebug;

// --- text hash ---
// Returns an empty hash with room for `capacity` keys (it grows past that), or NULL.
KVSZHASH* KVLIBSzHashAlloc(int capacity);
// Sets `key` to a copy of `value`, replacing an earlier value. Negative on failure.
int KVLIBSzHashSetValue(KVSZHASH** ppHash, const char* key, const char* value);
// Returns the value of `key`, or NULL when it is absent. Valid until the hash changes.
const char* KVLIBSzHashGetValue(const KVSZHASH* pHash, const char* key);
// Appends every key of the hash to the list, in insertion order. Negative on failure.
int KVLIBSzHashEnumKey(const KVSZHASH* pHash, KVSZLIST** ppList);
// Removes every key; the hash stays usable.
void KVLIBHashRemoveAll(KVSZHASH* pHash);
// Number of keys in the hash; negative for NULL.
int KVLIBSzHashCount(const KVSZHASH* pHash);
void KVLIBSzHashFree(KVSZHASH* pHash);

// --- text list ---
// Returns an empty list with room for `capacity` items (it grows past that), or NULL.
KVSZLIST* KVLIBSzListAlloc(int capacity);
// Appends a copy of `text`. Returns the new item count, negative on failure.
int KVLIBSzListPush(KVSZLIST** ppList, const char* text);
// Returns item `index`, or NULL when out of range.
const char* KVLIBSzListGet(const KVSZLIST* pList, int index);
void KVLIBSzListFree(KVSZLIST* pList);

// --- configuration files ---
// Sectioned files: "[name]" starts a section; "key=value" lines; lines starting with '#' or
// ';' and blank lines are ignored; whitespace around keys and values is trimmed; a value in
// double quotes loses them; within a section the last occurrence of a key wins.

// Appends the section names in file order, a repeated header each time. Returns the number of
// section headers, negative when the file cannot be read.
int KVLIBFileEnumSection(const char* path, KVSZLIST** ppList);
// Puts the keys of `section` into the hash. Returns the number of key/value lines of the
// section, negative when the file cannot be read or has no such section.
int KVLIBFileGetSection(const char* path, const char* section, KVSZHASH** ppHash);
// Reads the file once and calls `visit` for each section header in file order, with the
// section's fields as KVLIBFileGetSection gives them for the name cut at its first NUL byte
// (null when they could not be gathered, or no header is that cut name). Returns the number of
// headers; negative when the file cannot be read or `visit` returned a negative value.
typedef int (*KVLIB_SECTION_VISITOR)(const char* name, const KVSZHASH* fields, void* ctx);
int KVLIBFileEachSection(const char* path, KVLIB_SECTION_VISITOR visit, void* ctx);
// Key/value files (section headers ignored) with separator `sep`: puts the value of each key
// of `keys` that the file has into the hash. Returns the number of keys found, negative on
// failure.
int KVLIBFileGetKeys(const char* path, const KVSZLIST* keys, KVSZHASH** ppHash, const char* sep);
// Copies the value of `key` (separator "=") into `buf`. Returns the bytes copied without the
// terminator; 0 when the key is absent or its value empty; negative when the file cannot be
// read or the value does not fit. `flags` is reserved (0).
int KVLIBFileGetKeyValue(const char* path, const char* key, char* buf, int size, int flags);

// --- base64 (RFC 4648, standard alphabet, padded; line breaks ignored) ---
// Decodes `length` bytes of `text` into `out`; `*pLength` holds the size of `out` on entry and
// the decoded length on return. Returns 0 on failure (stray character, output too large).
int KVLIBBase64Decode(const char* text, int length, unsigned char* out, int* pLength);
// Encodes `length` bytes into `out` (zero-terminated). Returns the text length, 0 on failure.
int KVLIBBase64Encode(const unsigned char* data, int length, char* out, int size);

// --- push cipher: XChaCha20-Poly1305 with the host's push key ---
// Deciphers one chunk (base64 of nonce, ciphertext and tag) into `buf` as zero-terminated
// text. Returns `buf` on success, NULL on any failure (bad tag, bad base64, short chunk,
// missing key, plain text plus terminator larger than `size`).
char* KVLIBCryptSzDecrypt(const char* chunk, char* buf, int size);
// Enciphers `length` bytes with `key` (32 bytes) into a zero-terminated chunk in `out`.
// Returns the chunk length, 0 on failure. Clients pass the key they were given.
int KVLIBCryptSzEncryptWithKey(const unsigned char* key, const void* plain, int length, char* out,
                               int size);
// Size of the chunk text (with terminator) that enciphering `length` bytes produces.
int KVLIBCryptSzChunkSize(int length);
// Reads a key file of 64 hex digits (surrounding whitespace ignored) into `key` (32 bytes).
// Returns 0 on success, negative on failure.
int KVLIBCryptReadKeyFile(const char* path, unsigned char* key);
// The host's keys form a keyring: the current key (its file, KVLIBCryptKeyPath) and the keys
// still accepted after a rotation (the files "*.key" of KVLIBCryptKeysDir). A chunk is tried
// with the current key first, then the older ones, newest first.
// Loads the keyring once for the calling thread's following deciphering calls (a push):
// they use it without looking at the files again, until the matching Unpin. Pins nest. A key
// that cannot be used is logged with its file and the reason. 0 when the current key is usable.
int KVLIBCryptKeyPin(void);
void KVLIBCryptKeyUnpin(void);
// Path of the host's push key file.
const char* KVLIBCryptKeyPath(void);
// Path of the folder of older keys.
const char* KVLIBCryptKeysDir(void);
// The short id of the key that deciphered this thread's last chunk since its pin began (8 hex
// digits), "" when none did.
const char* KVLIBCryptLastKeyId(void);
// The short id of `key` (32 bytes): 8 hex digits of its hash, and a terminator. 0 on success.
int KVLIBCryptKeyId(const unsigned char* key, char* out, int size);
// The host's current push key as 64 hex digits and a terminator (what a device is given to
// encipher with). 0 on success; the caller wipes `out` after use.
int KVLIBCryptCurrentKeyHex(char* out, int size);

// --- error slot (thread-local) ---
void KVLIBErrSetEx(unsigned int code, const char* file, int line);
unsigned int KVLIBErrGet(void);
const char* KVLIBErrGetFile(void);
int KVLIBErrGetLine(void);

// --- transient failure note (thread-local) ---
// A store that failed for a reason that may pass by itself notes it here; the push path
// clears the note before a handler and reads it after a failure, to keep the item for later.
#define KVFAULT_NONE 0
#define KVFAULT_BUSY 1  // database locked or busy
#define KVFAULT_FULL 2  // no space left (or quota)
#define KVFAULT_IO 3    // I/O error
void KVLIBFaultNote(int kind);
int KVLIBFaultGet(void);
void KVLIBFaultClear(void);
// Notes the kind that `err` (an errno value) stands for, if any; returns it.
int KVLIBFaultNoteErrno(int err);
// Notes the kind behind a failed SQLite call: its result code and the errno SQLite saw (a write
// that met a full disk may come back as an I/O error; the errno tells). Returns it.
int KVLIBFaultNoteSqlite(int rc, int sysErrno);

// --- processes and directories ---
// Runs `program` with the NULL-terminated arguments (argv[0] is the program itself) through
// posix_spawn, no shell, and waits. 0 when it exited with status 0; negative when it could
// not start, died of a signal or exited non-zero.
int KVLIBExec(const char* program, ...) __attribute__((sentinel));
// Creates `path` (with its missing parents when `recursive`). `mode` -1 means 0755; `uid` and
// `gid` -1 mean unchanged. An existing directory is success; a component that exists and is
// not a directory fails with ENOTDIR. Negative on failure, errno set. `reserved` is NULL.
int KEVOFSMkdirP(const char* path, const void* reserved, int recursive, uid_t uid, gid_t gid,
                 int mode);

#ifdef __cplusplus
}
#endif

#endif  // KEVOCORE_H
