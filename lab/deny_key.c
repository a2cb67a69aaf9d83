/* Lab helper: takes the right to change one registry key under HKEY_LOCAL_MACHINE away
 * from everyone, as a locked-down machine does: opening the key for full access fails with
 * ERROR_ACCESS_DENIED, reading it still works. Wine keeps the change only while its server
 * runs; nothing of it is saved.
 *
 * Usage: deny_key.exe <key>
 * Prints "DENIED <key>" and exits 0, or "FAILED <step> <error>" and exits 1; 2 on bad usage. */
#include <windows.h>
#include <stdio.h>

static int failed(const char *step, unsigned long error)
{
    printf("FAILED %s %lu\n", step, error);
    return 1;
}

int main(int argc, char **argv)
{
    SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    PSID everyone = NULL;
    DWORD acl_buffer[64];
    PACL acl = (PACL)acl_buffer;
    SECURITY_DESCRIPTOR sd;
    HKEY key;
    LONG rc;

    if (argc != 2) {
        fprintf(stderr, "usage: deny_key <key under HKEY_LOCAL_MACHINE>\n");
        return 2;
    }
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return failed("sid", GetLastError());
    /* The deny comes first, so it wins over the grant of reading. */
    if (!InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION) ||
        !AddAccessDeniedAce(acl, ACL_REVISION, KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE, everyone) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone) ||
        !InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE))
        return failed("acl", GetLastError());
    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, WRITE_DAC, &key);
    if (rc != ERROR_SUCCESS)
        return failed("open", (unsigned long)rc);
    rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(key);
    FreeSid(everyone);
    if (rc != ERROR_SUCCESS)
        return failed("set", (unsigned long)rc);
    printf("DENIED %s\n", argv[1]);
    return 0;
}
