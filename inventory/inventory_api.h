// The inventory's read API, KEVO.FLX.Inventory version 1: the device list, one device, fleet
// queries, application icons and the history, for operators only. It only reads the stores.
#ifndef FLX_INVENTORY_API_H
#define FLX_INVENTORY_API_H

#include "webapi.h"

// Answer codes of this API besides success (the framework's own for unknown methods).
#define INV_ERR_NO_PERMISSION 105  // no operator session
#define INV_ERR_NO_PARAM 114       // a required parameter is missing
#define INV_ERR_BAD_PARAM 120      // a parameter has the wrong type or is out of range
#define INV_ERR_NOT_FOUND 404      // no such device, application or icon
#define INV_ERR_STORE 500          // the stores could not be read

#define INV_EXPORT __attribute__((visibility("default")))

extern "C" INV_EXPORT const WEBAPI_ENTRY* GetAPITable(void);
extern "C" INV_EXPORT const WEBAPI_ENTRY gInventoryTable[];

#endif  // FLX_INVENTORY_API_H
