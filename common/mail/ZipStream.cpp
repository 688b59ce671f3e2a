#include "common/mail/ZipStream.h"

#include <string.h>
#include <zlib.h>

// Deflate's data grows by at most about 0.03 % on incompressible input: an
// entry below this has sizes and offsets that fit 32 bits with room to spare.
ULONGLONG ZipLargeEntrySize = 0xFF000000ull;

#define ZIP_OUT_SIZE   16384
#define ZIP_NAME_SIZE  1024   // a UTF-8 name: up to three bytes for each character of a path
#define ZIP_RECORD_SIZE (128 + ZIP_NAME_SIZE)
// zlib's deflate state with its default window and memLevel takes about
// 262 KB in five pieces, all taken at deflateInit2 and given back at
// deflateEnd: a fixed arena holds them.
#define ZIP_ARENA_SIZE (320 * 1024)

#define ZIP_VERSION       20   // 2.0: deflate
#define ZIP_VERSION_LARGE 45   // 4.5: ZIP64
#define ZIP_FLAG_DESCRIPTOR 0x0008
#define ZIP_FLAG_UTF8       0x0800
#define ZIP_DEFLATE 8
#define ZIP64_EXTRA_SIZE 20    // tag, size, two 8-byte sizes

alignas(16) static BYTE Arena[ZIP_ARENA_SIZE];
static size_t ArenaUsed;

static z_stream Deflate;
static int Active;
static int Failed;
static ZipSink Sink;
static void *SinkContext;
static char EntryName[ZIP_NAME_SIZE];
static WORD NameLength;
static WORD Flags;             // general purpose bits of both headers
static WORD DosDate, DosTime;
static int Large;
static uLong Crc;
static ULONGLONG EntrySize, Taken, Deflated, Output;
static DWORD SinceFlush;
static BYTE Out[ZIP_OUT_SIZE];
static BYTE Record[ZIP_RECORD_SIZE];

static voidpf ArenaAlloc(voidpf, uInt items, uInt size)
{
    ULONGLONG bytes = ((ULONGLONG)items * size + 15) & ~15ull;
    if (bytes > sizeof Arena - ArenaUsed)
        return Z_NULL;
    voidpf piece = Arena + ArenaUsed;
    ArenaUsed += (size_t)bytes;
    return piece;
}

// Pieces are given back all at once, by deflateEnd's last call.
static void ArenaFree(voidpf, voidpf) {}

static void Emit(const BYTE *data, DWORD length)
{
    if (length == 0)
        return;
    if (!Failed && Sink != NULL && !Sink(SinkContext, data, length))
        Failed = 1;
    Output += length;
}

// Little-endian fields of the records.
static BYTE *Put16(BYTE *at, DWORD value)
{
    at[0] = (BYTE)value;
    at[1] = (BYTE)(value >> 8);
    return at + 2;
}

static BYTE *Put32(BYTE *at, DWORD value)
{
    return Put16(Put16(at, value & 0xFFFF), value >> 16);
}

static BYTE *Put64(BYTE *at, ULONGLONG value)
{
    return Put32(Put32(at, (DWORD)value), (DWORD)(value >> 32));
}

static BYTE *PutName(BYTE *at)
{
    memcpy(at, EntryName, NameLength);
    return at + NameLength;
}

static void EmitRecord(const BYTE *end)
{
    Emit(Record, (DWORD)(end - Record));
}

// Runs deflate over the input set in Deflate until it has taken all of it
// and, for a flush, given out everything.
static int RunDeflate(int flush)
{
    for (;;) {
        Deflate.next_out = Out;
        Deflate.avail_out = sizeof Out;
        int status = deflate(&Deflate, flush);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            return 0;
        DWORD produced = (DWORD)(sizeof Out - Deflate.avail_out);
        Deflated += produced;
        Emit(Out, produced);
        if (Failed)
            return 0;
        if (flush == Z_FINISH ? status == Z_STREAM_END : Deflate.avail_in == 0 && Deflate.avail_out != 0)
            return 1;
    }
}

static void DosStamp(const FILETIME *modified)
{
    FILETIME local;
    if (modified == NULL || !FileTimeToLocalFileTime(modified, &local) ||
        !FileTimeToDosDateTime(&local, &DosDate, &DosTime)) {
        DosDate = 0x21;     // 1980-01-01, the first day a zip can name
        DosTime = 0;
    }
}

// zlib's deflateBound for its default settings, r + (r >> 12) + (r >> 14) +
// (r >> 25) + 7, holds for data deflated without flushes; each of ours adds
// at most an empty stored block and the header of a block cut short, 10
// bytes a flush interval. r >> 11 covers all of it; the slack covers the
// end of the data and leaves room to spare.
#define DEFLATE_SLACK 71

ULONGLONG ZipDeflateBound(ULONGLONG r)
{
    return r + (r >> 11) + DEFLATE_SLACK;
}

ULONGLONG ZipLargestWithin(ULONGLONG room)
{
    ULONGLONG spare = DEFLATE_SLACK + (room >> 11);
    return room > spare ? room - spare : 0;
}

int ZipIsLarge(ULONGLONG size)
{
    return size >= ZipLargeEntrySize;
}

ULONGLONG ZipContainerSize(size_t nameLength, int large)
{
    ULONGLONG local = 30 + nameLength + (large ? ZIP64_EXTRA_SIZE : 0);
    ULONGLONG descriptor = large ? 24 : 16;
    ULONGLONG central = 46 + nameLength + (large ? ZIP64_EXTRA_SIZE : 0);
    ULONGLONG end = 22 + (large ? 56 + 20 : 0);
    return local + descriptor + central + end;
}

void ZipAbandon()
{
    if (Active)
        deflateEnd(&Deflate);
    Active = 0;
}

int ZipBegin(const char *entryName, ULONGLONG size, const FILETIME *modified, ZipSink sink, void *context)
{
    ZipAbandon();
    size_t length = entryName != NULL ? strnlen(entryName, sizeof EntryName) : 0;
    if (length >= sizeof EntryName)
        return 0;
    memcpy(EntryName, entryName, length);
    NameLength = (WORD)length;
    // A name outside ASCII is UTF-8, and says so (general purpose bit 11):
    // unzip tools then show it as it is instead of in some DOS code page.
    Flags = ZIP_FLAG_DESCRIPTOR;
    for (size_t i = 0; i < length; i++)
        if ((BYTE)entryName[i] >= 0x80)
            Flags = ZIP_FLAG_DESCRIPTOR | ZIP_FLAG_UTF8;
    Sink = sink;
    SinkContext = context;
    Failed = 0;
    Large = ZipIsLarge(size);
    EntrySize = size;
    Taken = Deflated = Output = 0;
    SinceFlush = 0;
    Crc = crc32(0, Z_NULL, 0);
    DosStamp(modified);

    memset(&Deflate, 0, sizeof Deflate);
    Deflate.zalloc = ArenaAlloc;
    Deflate.zfree = ArenaFree;
    ArenaUsed = 0;
    // Raw deflate (negative window bits): the zip records frame it.
    if (deflateInit2(&Deflate, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    Active = 1;

    // Sizes and CRC follow the data in the descriptor; a large entry says so
    // in a ZIP64 field whose sizes are left 0 likewise.
    BYTE *at = Put32(Record, 0x04034b50);
    at = Put16(at, Large ? ZIP_VERSION_LARGE : ZIP_VERSION);
    at = Put16(at, Flags);
    at = Put16(at, ZIP_DEFLATE);
    at = Put16(at, DosTime);
    at = Put16(at, DosDate);
    at = Put32(at, 0);
    at = Put32(at, Large ? 0xFFFFFFFF : 0);
    at = Put32(at, Large ? 0xFFFFFFFF : 0);
    at = Put16(at, NameLength);
    at = Put16(at, Large ? ZIP64_EXTRA_SIZE : 0);
    at = PutName(at);
    if (Large) {
        at = Put16(Put16(at, 0x0001), 16);
        at = Put64(Put64(at, 0), 0);
    }
    EmitRecord(at);
    return !Failed;
}

int ZipWrite(const BYTE *data, DWORD length)
{
    if (!Active || Failed || length > EntrySize - Taken)
        return 0;
    while (length > 0) {
        DWORD room = ZIP_FLUSH_INTERVAL - SinceFlush;
        DWORD piece = length < room ? length : room;
        Crc = crc32(Crc, data, piece);
        Deflate.next_in = (Bytef *)data;
        Deflate.avail_in = piece;
        SinceFlush += piece;
        int flush = SinceFlush == ZIP_FLUSH_INTERVAL ? Z_SYNC_FLUSH : Z_NO_FLUSH;
        if (!RunDeflate(flush))
            return 0;
        if (flush == Z_SYNC_FLUSH)
            SinceFlush = 0;
        Taken += piece;
        data += piece;
        length -= piece;
    }
    return 1;
}

int ZipEnd()
{
    if (!Active || Failed)
        return 0;
    Deflate.next_in = Z_NULL;
    Deflate.avail_in = 0;
    int finished = RunDeflate(Z_FINISH);
    ZipAbandon();
    if (!finished || Taken != EntrySize)
        return 0;

    BYTE *at = Put32(Record, 0x08074b50);
    at = Put32(at, Crc);
    if (Large)
        at = Put64(Put64(at, Deflated), Taken);
    else
        at = Put32(Put32(at, (DWORD)Deflated), (DWORD)Taken);
    EmitRecord(at);
    ULONGLONG directoryAt = Output;

    at = Put32(Record, 0x02014b50);
    at = Put16(at, Large ? ZIP_VERSION_LARGE : ZIP_VERSION);    // made by: MS-DOS host
    at = Put16(at, Large ? ZIP_VERSION_LARGE : ZIP_VERSION);
    at = Put16(at, Flags);
    at = Put16(at, ZIP_DEFLATE);
    at = Put16(at, DosTime);
    at = Put16(at, DosDate);
    at = Put32(at, Crc);
    at = Put32(at, Large ? 0xFFFFFFFF : (DWORD)Deflated);
    at = Put32(at, Large ? 0xFFFFFFFF : (DWORD)Taken);
    at = Put16(at, NameLength);
    at = Put16(at, Large ? ZIP64_EXTRA_SIZE : 0);
    at = Put16(at, 0);          // comment
    at = Put16(at, 0);          // disk
    at = Put16(at, 0);          // internal attributes
    at = Put32(at, 0);          // external attributes
    at = Put32(at, 0);          // the local header's offset
    at = PutName(at);
    if (Large) {
        at = Put16(Put16(at, 0x0001), 16);
        at = Put64(Put64(at, Taken), Deflated);
    }
    EmitRecord(at);
    ULONGLONG directorySize = Output - directoryAt;

    if (Large) {
        ULONGLONG recordAt = Output;
        at = Put32(Record, 0x06064b50);
        at = Put64(at, 44);
        at = Put16(at, ZIP_VERSION_LARGE);
        at = Put16(at, ZIP_VERSION_LARGE);
        at = Put32(Put32(at, 0), 0);
        at = Put64(Put64(at, 1), 1);
        at = Put64(Put64(at, directorySize), directoryAt);
        at = Put32(at, 0x07064b50);
        at = Put32(at, 0);
        at = Put64(at, recordAt);
        at = Put32(at, 1);
        EmitRecord(at);
    }
    at = Put32(Record, 0x06054b50);
    at = Put16(Put16(at, 0), 0);
    at = Put16(Put16(at, 1), 1);
    at = Put32(at, (DWORD)directorySize);
    at = Put32(at, directoryAt >= 0xFFFFFFFFull ? 0xFFFFFFFF : (DWORD)directoryAt);
    at = Put16(at, 0);
    EmitRecord(at);
    return !Failed;
}

ULONGLONG ZipDeflatedSize()
{
    return Deflated;
}

ULONGLONG ZipOutputSize()
{
    return Output;
}

static BYTE ReadBuffer[ZIP_FLUSH_INTERVAL];

int ZipFileRange(HANDLE file, ULONGLONG offset, ULONGLONG length, const char *entryName, ZipSink sink,
                 void *context)
{
    FILETIME modified;
    int dated = GetFileTime(file, NULL, NULL, &modified);
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    if (!SetFilePointerEx(file, at, NULL, FILE_BEGIN) ||
        !ZipBegin(entryName, length, dated ? &modified : NULL, sink, context)) {
        ZipAbandon();
        return 0;
    }
    for (ULONGLONG left = length; left > 0;) {
        DWORD want = left < sizeof ReadBuffer ? (DWORD)left : (DWORD)sizeof ReadBuffer;
        DWORD read = 0;
        if (!ReadFile(file, ReadBuffer, want, &read, NULL) || read != want || !ZipWrite(ReadBuffer, read)) {
            ZipAbandon();
            return 0;
        }
        left -= read;
    }
    return ZipEnd();
}
