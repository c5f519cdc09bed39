#pragma once
// Container items kept as data objects on a token, and the path-level queries the carrier
// record of PKCS#11 paths dispatches to.
#include "crypto/mem.h"
#include "crypto/pkcs11/pkcs11.h"

namespace jarnel {

// Items: 0 master key ("mk.db3", private), 1 mask ("masks.db3"), 2 KEK ("kek.opq"), 3 random
// state ("rand.opq"). The label of an item, or null outside 0..3.
const char* PKCS11_item_label(int item);
// Reads CKA_VALUE of the item's object: with a null buffer only *length. 0 when the object is
// missing or the item number is out of range (the module is not called then).
int PKCS11_read_item(int item, PKCS11_OBJECT* conn, unsigned char* buffer, CK_ULONG* length);
// Replaces every object of the item by one holding contents.
int PKCS11_write_item(int item, const unsigned char* contents, CK_ULONG length,
                      PKCS11_OBJECT* conn);
// Appends the handle of every object the template matches to out. 0 when a call to the module
// failed or the list could not grow (a malloc error then); the search is ended either way, so
// the session is free for the next one. Throws nothing.
int PKCS11_find_all(PKCS11_OBJECT* conn, PKCS11_TEMPLATE* t, MemVector<CK_OBJECT_HANDLE>& out);
// The handles of every object of the item (0 with a malloc error when the list cannot grow).
int PKCS11_item_objects(int item, PKCS11_OBJECT* conn, MemVector<CK_OBJECT_HANDLE>& out);
// Creates one new object of the item holding contents (the objects already there stay); its
// handle in *made.
int PKCS11_create_item(int item, const unsigned char* contents, CK_ULONG length,
                       PKCS11_OBJECT* conn, CK_OBJECT_HANDLE* made);
// Destroys the given objects.
int PKCS11_destroy_objects(PKCS11_OBJECT* conn, const MemVector<CK_OBJECT_HANDLE>& handles);
// Destroys every object of the item; 1 when there is none.
int PKCS11_delete_item(int item, PKCS11_OBJECT* conn);
// Sets the random-state object's value, or creates it. When the module refuses to change the
// value (CKR_ATTRIBUTE_READ_ONLY and the like), the object is replaced instead.
int PKCS11_update_random_state(PKCS11_OBJECT* conn, const unsigned char* contents,
                               CK_ULONG length);

// The carrier's path-level functions.
int PKCS11_is_inserted(const char* path);
int PKCS11_logout_path(const char* path);

}  // namespace jarnel
