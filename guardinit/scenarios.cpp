#include "scenarios.h"

namespace guardinit::scenarios {
namespace {

// Marks the script as meant for a server of major version 11.
constexpr std::string_view k_header[] = {
    "# PostgreSQL 11\n",
};

// Asks the bootstrap server to verify that every security catalog is untouched.
constexpr std::string_view k_checkData[] = {
    "open pr_object\n",
    "check\n",
    "close pr_object\n",
    "open pr_policy\n",
    "check\n",
    "close pr_policy\n",
    "open pr_rule\n",
    "check\n",
    "close pr_rule\n",
    "open pr_grant\n",
    "check\n",
    "close pr_grant\n",
};

// Removes an administrator left by an earlier run.
constexpr std::string_view k_dropUserIfExists[] = {
    "DELETE FROM pg_authid    WHERE OID=9901;\n\n",
};

// Adds the administrator role with OID 9901: may log in, nothing else, one connection, password set later.
constexpr std::string_view k_createUser[] = {
    "open pg_authid\n",
    "insert OID=9901 ( $username$ f f f f t f f 1 _null_ _null_ )\n",
    "close pg_authid\n",
};

// Rebuilds the pg_authid indexes that the bootstrap insert bypassed.
constexpr std::string_view k_finalizeAuthData[] = {
    "REINDEX INDEX pg_authid_oid_index;\n\n",
    "REINDEX INDEX pg_authid_rolname_index;\n\n",
};

// The four policies, the rules that tie them to protected objects and their grants.
constexpr std::string_view k_createPolicy[] = {
    "open pr_policy\n",
    "insert  OID = 9799 ( securityFunctionsAdmin t )\n",
    "insert  OID = 9800 ( securityCatalogAdmin t )\n",
    "insert  OID = 9801 ( adminPolicyOwner_$username$ t )\n",
    "insert  OID = 9802 ( featureStatusFunctions t )\n",
    "close pr_policy\n",
    "open pr_rule\n",
    "insert ( 9800 9798 9920 _null_ )\n",
    "insert ( 9800 9798 9921 _null_ )\n",
    "insert ( 9800 9798 9922 _null_ )\n",
    "insert ( 9800 9798 9923 _null_ )\n",
    "insert ( 9800 9797 9920 _null_ )\n",
    "insert ( 9800 9797 9921 _null_ )\n",
    "insert ( 9800 9797 9922 _null_ )\n",
    "insert ( 9800 9797 9923 _null_ )\n",
    "insert ( 9800 9796 9920 _null_ )\n",
    "insert ( 9800 9796 9921 _null_ )\n",
    "insert ( 9800 9796 9922 _null_ )\n",
    "insert ( 9800 9796 9923 _null_ )\n",
    "insert ( 9800 9795 9920 _null_ )\n",
    "insert ( 9800 9795 9921 _null_ )\n",
    "insert ( 9800 9795 9922 _null_ )\n",
    "insert ( 9800 9795 9923 _null_ )\n",
    "insert ( 9800 9794 9920 _null_ )\n",
    "insert ( 9800 9794 9921 _null_ )\n",
    "insert ( 9800 9794 9922 _null_ )\n",
    "insert ( 9800 9794 9923 _null_ )\n",
    "insert ( 9800 9793 9920 _null_ )\n",
    "insert ( 9800 9793 9921 _null_ )\n",
    "insert ( 9800 9793 9922 _null_ )\n",
    "insert ( 9800 9793 9923 _null_ )\n",
    "insert ( 9800 9790 9920 _null_ )\n",
    "insert ( 9800 9790 9921 _null_ )\n",
    "insert ( 9800 9790 9922 _null_ )\n",
    "insert ( 9800 9790 9923 _null_ )\n",
    "insert ( 9800 9789 9920 _null_ )\n",
    "insert ( 9800 9789 9921 _null_ )\n",
    "insert ( 9800 9789 9922 _null_ )\n",
    "insert ( 9800 9789 9923 _null_ )\n",
    "insert ( 9800 9788 9920 _null_ )\n",
    "insert ( 9800 9788 9921 _null_ )\n",
    "insert ( 9800 9788 9922 _null_ )\n",
    "insert ( 9800 9788 9923 _null_ )\n",
    "insert ( 9800 9787 9920 _null_ )\n",
    "insert ( 9800 9787 9921 _null_ )\n",
    "insert ( 9800 9787 9922 _null_ )\n",
    "insert ( 9800 9787 9923 _null_ )\n",
    "insert ( 9800 9786 9920 _null_ )\n",
    "insert ( 9800 9786 9921 _null_ )\n",
    "insert ( 9800 9786 9922 _null_ )\n",
    "insert ( 9800 9786 9923 _null_ )\n",
    "insert ( 9800 9785 9920 _null_ )\n",
    "insert ( 9800 9785 9921 _null_ )\n",
    "insert ( 9800 9785 9922 _null_ )\n",
    "insert ( 9800 9785 9923 _null_ )\n",
    "insert ( 9800 9784 9920 _null_ )\n",
    "insert ( 9800 9784 9921 _null_ )\n",
    "insert ( 9800 9784 9922 _null_ )\n",
    "insert ( 9800 9784 9923 _null_ )\n",
    "insert ( 9800 9783 9920 _null_ )\n",
    "insert ( 9800 9783 9921 _null_ )\n",
    "insert ( 9800 9783 9922 _null_ )\n",
    "insert ( 9800 9783 9923 _null_ )\n",
    "insert ( 9800 9782 9920 _null_ )\n",
    "insert ( 9800 9782 9921 _null_ )\n",
    "insert ( 9800 9782 9922 _null_ )\n",
    "insert ( 9800 9782 9923 _null_ )\n",
    "insert ( 9800 9781 9920 _null_ )\n",
    "insert ( 9800 9781 9921 _null_ )\n",
    "insert ( 9800 9781 9922 _null_ )\n",
    "insert ( 9800 9781 9923 _null_ )\n",
    "insert ( 9800 9780 9920 _null_ )\n",
    "insert ( 9800 9780 9921 _null_ )\n",
    "insert ( 9800 9780 9922 _null_ )\n",
    "insert ( 9800 9780 9923 _null_ )\n",
    "insert ( 9800 9779 9920 _null_ )\n",
    "insert ( 9800 9779 9921 _null_ )\n",
    "insert ( 9800 9779 9922 _null_ )\n",
    "insert ( 9800 9779 9923 _null_ )\n",
    "insert ( 9800 9778 9920 _null_ )\n",
    "insert ( 9800 9778 9921 _null_ )\n",
    "insert ( 9800 9778 9922 _null_ )\n",
    "insert ( 9800 9778 9923 _null_ )\n",
    "insert ( 9800 9777 9920 _null_ )\n",
    "insert ( 9800 9777 9921 _null_ )\n",
    "insert ( 9800 9777 9922 _null_ )\n",
    "insert ( 9800 9777 9923 _null_ )\n",
    "insert ( 9801 9776 9958 _null_ )\n",
    "insert ( 9799 9775 9955 _null_ )\n",
    "insert ( 9799 9774 9955 _null_ )\n",
    "insert ( 9799 9773 9955 _null_ )\n",
    "insert ( 9799 9772 9955 _null_ )\n",
    "insert ( 9799 9771 9955 _null_ )\n",
    "insert ( 9799 9770 9955 _null_ )\n",
    "insert ( 9799 9769 9955 _null_ )\n",
    "insert ( 9799 9768 9955 _null_ )\n",
    "insert ( 9799 9767 9955 _null_ )\n",
    "insert ( 9799 9766 9955 _null_ )\n",
    "insert ( 9799 9765 9955 _null_ )\n",
    "insert ( 9799 9764 9955 _null_ )\n",
    "insert ( 9799 9763 9955 _null_ )\n",
    "insert ( 9799 9751 9955 _null_ )\n",
    "insert ( 9799 9750 9955 _null_ )\n",
    "insert ( 9799 9749 9955 _null_ )\n",
    "insert ( 9799 9748 9955 _null_ )\n",
    "insert ( 9802 9762 9955 _null_ )\n",
    "insert ( 9802 9761 9955 _null_ )\n",
    "insert ( 9802 9760 9955 _null_ )\n",
    "insert ( 9802 9759 9955 _null_ )\n",
    "insert ( 9802 9758 9955 _null_ )\n",
    "insert ( 9802 9756 9955 _null_ )\n",
    "insert ( 9802 9755 9955 _null_ )\n",
    "insert ( 9802 9754 9955 _null_ )\n",
    "insert ( 9802 9753 9955 _null_ )\n",
    "close pr_rule\n",
    "open pr_grant\n",
    "insert ( 9799 9901 )\n",
    "insert ( 9800 9901 )\n",
    "insert ( 9801 9901 )\n",
    "insert ( 9802 9901 )\n",
    "insert ( 9802 10 )\n",
    "insert ( 9802 3374 )\n",
    "close pr_grant\n",
};

// Rebuilds the policy, rule and grant indexes after the bootstrap inserts.
constexpr std::string_view k_finalizeData[] = {
    "REINDEX INDEX pr_grant_policy_index;\n\n",
    "REINDEX INDEX pr_grant_oid_index;\n\n",
    "REINDEX INDEX pr_grant_uk_index;\n\n",
    "REINDEX INDEX pr_rule_policy_index;\n\n",
    "REINDEX INDEX pr_rule_oid_index;\n\n",
    "REINDEX INDEX pr_rule_uk_index;\n\n",
    "REINDEX INDEX pr_policy_oid_index;\n\n",
    "REINDEX INDEX pr_policy_polname_index;\n\n",
};

// Lets the administrator call, and pass on, every protection function.
constexpr std::string_view k_grantFunctions[] = {
    "GRANT EXECUTE ON FUNCTION pm_get_protected_objects TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_protect_object TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_unprotect_object TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_make_policy TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_grant_to_policy TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_revoke_from_policy TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_assign_policy_to_user TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_unassign_policy_from_user TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_get_assigned_policies TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_get_policy_grants TO $username$ WITH GRANT OPTION;\n\n",
    "GRANT EXECUTE ON FUNCTION pm_get_policies TO $username$ WITH GRANT OPTION;\n\n",
};

// Protects the security catalogs, functions and the administrator's role.
constexpr std::string_view k_lockProtection[] = {
    "open pr_object\n",
    "insert OID = 9798 ( 0 9999 9970 t )\n",
    "insert OID = 9797 ( 0 9995 9970 t )\n",
    "insert OID = 9796 ( 0 9991 9970 t )\n",
    "insert OID = 9795 ( 0 9986 9970 t )\n",
    "insert OID = 9794 ( 0 9981 9970 t )\n",
    "insert OID = 9793 ( 0 9976 9970 t )\n",
    "insert OID = 9790 ( 0 9972 9970 t )\n",
    "insert OID = 9789 ( 0 9973 9970 t )\n",
    "insert OID = 9788 ( 0 9974 9970 t )\n",
    "insert OID = 9787 ( 0 9977 9970 t )\n",
    "insert OID = 9786 ( 0 9978 9970 t )\n",
    "insert OID = 9785 ( 0 9979 9970 t )\n",
    "insert OID = 9784 ( 0 9983 9970 t )\n",
    "insert OID = 9783 ( 0 9984 9970 t )\n",
    "insert OID = 9782 ( 0 9988 9970 t )\n",
    "insert OID = 9781 ( 0 9989 9970 t )\n",
    "insert OID = 9780 ( 0 9992 9970 t )\n",
    "insert OID = 9779 ( 0 9993 9970 t )\n",
    "insert OID = 9778 ( 0 9996 9970 t )\n",
    "insert OID = 9777 ( 0 9997 9970 t )\n",
    "insert OID = 9776 ( 0 9901 9964 t )\n",
    "insert OID = 9775 ( 0 9600 9965 t )\n",
    "insert OID = 9774 ( 0 9599 9965 t )\n",
    "insert OID = 9773 ( 0 9598 9965 t )\n",
    "insert OID = 9772 ( 0 9597 9965 t )\n",
    "insert OID = 9771 ( 0 9596 9965 t )\n",
    "insert OID = 9770 ( 0 9595 9965 t )\n",
    "insert OID = 9769 ( 0 9594 9965 t )\n",
    "insert OID = 9768 ( 0 9593 9965 t )\n",
    "insert OID = 9767 ( 0 9592 9965 t )\n",
    "insert OID = 9766 ( 0 9591 9965 t )\n",
    "insert OID = 9765 ( 0 9590 9965 t )\n",
    "insert OID = 9764 ( 0 9589 9965 t )\n",
    "insert OID = 9763 ( 0 9588 9965 t )\n",
    "insert OID = 9762 ( 0 9499 9965 t )\n",
    "insert OID = 9761 ( 0 9498 9965 t )\n",
    "insert OID = 9760 ( 0 9497 9965 t )\n",
    "insert OID = 9759 ( 0 9496 9965 t )\n",
    "insert OID = 9758 ( 0 9495 9965 t )\n",
    "insert OID = 9756 ( 0 9493 9965 t )\n",
    "insert OID = 9755 ( 0 9492 9965 t )\n",
    "insert OID = 9754 ( 0 9491 9965 t )\n",
    "insert OID = 9753 ( 0 9490 9965 t )\n",
    "insert OID = 9751 ( 0 5050 9965 t )\n",
    "insert OID = 9750 ( 0 5051 9965 t )\n",
    "insert OID = 9749 ( 0 5052 9965 t )\n",
    "insert OID = 9748 ( 0 5053 9965 t )\n",
    "insert OID = 9747 ( 0 0 0 t )\n",
    "close pr_object\n",
};

// Rebuilds the protected-object indexes.
constexpr std::string_view k_finalizeLockData[] = {
    "REINDEX INDEX pr_object_oid_index;\n\n",
    "REINDEX INDEX pr_object_objoid_index;\n\n",
};

}  // namespace

const Scenario header{k_header};
const Scenario checkData{k_checkData};
const Scenario dropUserIfExists{k_dropUserIfExists};
const Scenario createUser{k_createUser};
const Scenario finalizeAuthData{k_finalizeAuthData};
const Scenario createPolicy{k_createPolicy};
const Scenario finalizeData{k_finalizeData};
const Scenario grantFunctions{k_grantFunctions};
const Scenario lockProtection{k_lockProtection};
const Scenario finalizeLockData{k_finalizeLockData};

}  // namespace guardinit::scenarios
