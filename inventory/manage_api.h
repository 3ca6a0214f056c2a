// The management API, KEVO.FLX.Manage version 1, served by the inventory's module: actions of
// `admin` operators on the devices of their groups, each one in the audit trail. POST only.
#ifndef FLX_MANAGE_API_H
#define FLX_MANAGE_API_H

#include "webapi.h"

// Answer codes besides success and the inventory's own (105, 114, 120, 404, 500).
#define MANAGE_ERR_CONFLICT 409  // the action does not apply (not pending, group not empty)

namespace flxmanage {

void Approve(KEVO::APIRequest* req, KEVO::APIResponse* resp);
void Reject(KEVO::APIRequest* req, KEVO::APIResponse* resp);
void Move(KEVO::APIRequest* req, KEVO::APIResponse* resp);
void RevokeSessions(KEVO::APIRequest* req, KEVO::APIResponse* resp);
// Removes a device and everything stored for it (see flxremove.h).
void Remove(KEVO::APIRequest* req, KEVO::APIResponse* resp);
void CreateSecret(KEVO::APIRequest* req, KEVO::APIResponse* resp);
void RevokeSecret(KEVO::APIRequest* req, KEVO::APIResponse* resp);
void Audit(KEVO::APIRequest* req, KEVO::APIResponse* resp);

}  // namespace flxmanage

#endif  // FLX_MANAGE_API_H
