// The enrollment API, KEVO.FLX.Enroll version 1: a machine joins the fleet with an enrollment
// secret (`join`), and an enrolled device renews its session before it expires (`renew`). Each
// answers {sn, sid, key, ca, expires[, pending]}; the answer codes are flxenroll.h's.
#ifndef FLX_ENROLL_API_H
#define FLX_ENROLL_API_H

#include "webapi.h"

#define ENROLL_EXPORT __attribute__((visibility("default")))

extern "C" ENROLL_EXPORT const WEBAPI_ENTRY* GetAPITable(void);
extern "C" ENROLL_EXPORT const WEBAPI_ENTRY gEnrollTable[];

#endif  // FLX_ENROLL_API_H
