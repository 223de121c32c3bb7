#ifndef KMS_KMS_FUNCTION_LIST_H
#define KMS_KMS_FUNCTION_LIST_H

/*
 * C interface of a KMS connector plug-in, as the database server sees it. The
 * server loads one connector library, resolves KmsGetFunctionList (or the other
 * entry points by name), calls KmsInit with its configuration and plug-in
 * directories and then asks for values by domain, cluster ID, subdomain and key.
 * Every entry point returns a result code of common/error_code.h.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KMS_CONNECTOR_EXPORT __attribute__((visibility("default")))

typedef struct KmsFunctionList KmsFunctionList;

typedef int (*KmsGetFunctionListFn)(KmsFunctionList** list);
typedef int (*KmsInitFn)(const char* configDir, const char* pluginDir);
typedef int (*KmsIsInitializedFn)(void);
typedef int (*KmsGetValueFn)(const char* domain, const char* clusterId, const char* subdomain,
                             const char* key, uint8_t* value, size_t* valueSize);
typedef int (*KmsSetValueFn)(const char* domain, const char* clusterId, const char* subdomain,
                             const char* key, const char* value);

/* The connector's six entry points in table order; every entry is non-null. */
struct KmsFunctionList {
    KmsGetFunctionListFn KmsGetFunctionList;
    KmsInitFn KmsInit;
    KmsIsInitializedFn KmsIsInitialized;
    KmsGetValueFn KmsGetValue;
    KmsSetValueFn KmsSetValue;
    KmsSetValueFn KmsCheckAndSetValue;
};

/* Stores the address of the library's static table in *list; null list: -15. */
KMS_CONNECTOR_EXPORT int KmsGetFunctionList(KmsFunctionList** list);

/* Initialises the connector from configDir; pluginDir names where the encryption
   plug-in is looked up. A failed initialisation may be retried. */
KMS_CONNECTOR_EXPORT int KmsInit(const char* configDir, const char* pluginDir);

/* 0 when initialised, else -47. */
KMS_CONNECTOR_EXPORT int KmsIsInitialized(void);

/* Copies the value's bytes (no terminating zero) into value. When *valueSize is
   smaller than the value, stores the needed length there and returns -35; call
   first with *valueSize = 0 to learn the length. Null names or valueSize: -15;
   null value with a big enough *valueSize: -15, unless the value is empty
   (nothing to copy: 0). *valueSize is not changed on success or on a failed
   lookup. */
KMS_CONNECTOR_EXPORT int KmsGetValue(const char* domain, const char* clusterId, const char* subdomain,
                                     const char* key, uint8_t* value, size_t* valueSize);

/* Stores a value; any null argument: -15. */
KMS_CONNECTOR_EXPORT int KmsSetValue(const char* domain, const char* clusterId, const char* subdomain,
                                     const char* key, const char* value);

/* Stores a value only if the key does not hold one yet; any null argument: -15. */
KMS_CONNECTOR_EXPORT int KmsCheckAndSetValue(const char* domain, const char* clusterId,
                                             const char* subdomain, const char* key, const char* value);

#ifdef __cplusplus
}
#endif

#endif /* KMS_KMS_FUNCTION_LIST_H */
