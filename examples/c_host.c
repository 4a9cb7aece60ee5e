/* A host written in C (C89) that uses GAVO_Client through its plain C interface, and checks
 * what it gets: stores a file, reads it back, renames, tests and removes it, shows how
 * failures come back (codes and the error record, never exceptions), appends a record to
 * the server table "events" in working mode 2, then shuts the library down.
 *
 * Usage: c_host INI_FILE [MODE]   MODE is the INI file's working mode, 1 (default) or 2.
 * Exit status 0 when every check passed. Needs nothing but stdio and the library, so the
 * same source builds for Windows. */
#include <gavo_client_c.h>
#include <stdio.h>

static int failures = 0;

static void check(int ok, const char* what) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

static int same_bytes(const char* a, const char* b, int32_t n) {
    int32_t i;
    for (i = 0; i < n; ++i) {
        if (a[i] != b[i]) return 0;
    }
    return 1;
}

/* Bad input gives codes: no handle, a NULL name, a count over 2^31-1. */
static void check_refusals(void) {
    gavo_error error;
    char buffer[8];
    int32_t file;

    check(gavo_read(0, buffer, sizeof buffer, &error) == GAVO_E_BAD_HANDLE &&
              error.code == GAVO_E_BAD_HANDLE && error.message[0] != '\0',
          "read with handle 0 gives GAVO_E_BAD_HANDLE and fills the record");
    check(gavo_close(12345, NULL) == GAVO_E_BAD_HANDLE, "close of an unknown handle");
    check(gavo_open(NULL, GAVO_READ, &error) == GAVO_E_REFUSED, "open of a NULL name");
    file = gavo_open("c_host/big.dat", GAVO_WRITE | GAVO_CREATE, &error);
    check(file > 0, "open for writing");
    check(gavo_write(file, buffer, 0x80000000u, &error) == GAVO_E_REFUSED,
          "a count over 2^31-1 is refused");
    check(gavo_read(file, buffer, sizeof buffer, &error) == GAVO_E_REFUSED && error.os_error == 0,
          "read on a handle opened for writing is refused");
    check(gavo_close(file, &error) == 0 && error.code == 0, "close");
    check(gavo_close(file, &error) == GAVO_E_BAD_HANDLE, "a closed handle is unknown");
    check(gavo_remove("c_host/big.dat", NULL) == 0, "remove");
    check(gavo_open("c_host/missing.dat", GAVO_READ, &error) == GAVO_E_NOT_FOUND &&
              error.code == GAVO_E_NOT_FOUND,
          "open of a missing file gives GAVO_E_NOT_FOUND");
}

static void check_round_trip(void) {
    static const char text[] = "hello from a C host\n";
    const int32_t size = (int32_t)(sizeof text - 1);
    gavo_error error;
    char back[64];
    uint32_t length = 0;
    int32_t file;

    gavo_remove("c_host/renamed.txt", NULL); /* left by an earlier run that failed */
    file = gavo_open("c_host\\hello.txt", GAVO_WRITE | GAVO_CREATE, &error);
    check(file > 0, "open for writing");
    check(gavo_write(file, text, (uint32_t)size, &error) == size, "write");
    check(gavo_position(file, &error) == 0 && gavo_seek(file, 0, GAVO_SEEK_END, &error) == 0,
          "position and seek give 0");
    check(gavo_close(file, &error) == 0, "close");

    file = gavo_open_ex("c_host/hello.txt", GAVO_READ, &length, &error);
    check(file > 0 && length == (uint32_t)size, "open_ex gives the length");
    check(gavo_read(file, back, sizeof back, &error) == size && same_bytes(back, text, size),
          "read gives the bytes written");
    check(gavo_close(file, &error) == 0, "close");

    check(gavo_rename("c_host/hello.txt", "c_host/renamed.txt", &error) == 0, "rename");
    check(gavo_exists("c_host/hello.txt", &error) == 0, "the old name is gone");
    check(gavo_exists("c_host/renamed.txt", &error) == 1, "the new name exists");
    check(gavo_remove("c_host/renamed.txt", &error) == 0, "remove");
    check(gavo_remove("c_host/renamed.txt", &error) == GAVO_E_NOT_FOUND,
          "a second remove gives GAVO_E_NOT_FOUND");
}

/* Tables live on a file server: in working mode 1 their open is refused. */
static void check_table(int mode) {
    static const char record[] = "c_host was here\n";
    gavo_error error;
    int32_t table = gavo_open("events", GAVO_TABLE_WRITE, &error);
    if (mode != 2) {
        check(table == GAVO_E_REFUSED, "a table open in working mode 1 is refused");
        return;
    }
    check(table > 0, "open of table events");
    check(gavo_write(table, record, sizeof record - 1, &error) == (int32_t)(sizeof record - 1),
          "a record written");
    check(gavo_close(table, &error) == 0, "close of the table");
}

int main(int argc, char** argv) {
    gavo_error error;
    char byte;
    int32_t kept;
    int mode = argc > 2 && argv[2][0] == '2' ? 2 : 1;
    if (argc < 2) {
        fprintf(stderr, "usage: c_host INI_FILE [MODE]\n");
        return 2;
    }
    check(gavo_read(1, &byte, 1, &error) == GAVO_E_BAD_HANDLE, "a read before init");
    if (gavo_init(argv[1], &error) != 0) {
        printf("gavo_init failed: %s\n", error.message);
        return 1;
    }
    check_refusals();
    check_round_trip();
    check_table(mode);
    kept = gavo_open("c_host/kept.txt", GAVO_WRITE | GAVO_CREATE, &error);
    check(kept > 0, "open of a file left open");
    check(gavo_shutdown() == 0, "shutdown closes it");
    check(gavo_write(kept, "x", 1, &error) == GAVO_E_BAD_HANDLE, "its handle is gone");
    check(gavo_init(argv[1], &error) == 0 && gavo_remove("c_host/kept.txt", &error) == 0,
          "the library starts again");
    gavo_shutdown();
    printf("%s\n", failures == 0 ? "c_host: all checks passed" : "c_host: checks FAILED");
    return failures == 0 ? 0 : 1;
}
