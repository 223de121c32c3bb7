/* A plug-in that calls the wrapper by name without carrying it, as a KMS
   connector does inside a process whose program exports the wrapper. */
#include "encryption_wrapper/encryption_wrapper.h"

int ClientKeySize(void) {
    int size = -1;
    int rc = EncryptionGetKeySize(&size);
    return rc != 0 ? rc : size;
}
