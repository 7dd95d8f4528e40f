// Syzygy table files: the registry, mapping, header parsing, decompression and indexing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

typedef uint64_t u64;
typedef uint32_t u32;
typedef uint16_t u16;
typedef uint8_t u8;

constexpr int TBPIECES = 6;
constexpr int TBMAX_PIECE = 254;
constexpr int TBMAX_PAWN = 256;
constexpr int TBHASHBITS = 10;
constexpr int HSHMAX = 5;
constexpr int DTZ_ENTRIES = 64;

constexpr u32 WDL_MAGIC = 0x5D23E871;
constexpr u32 DTZ_MAGIC = 0xA50C66D7;

// Decoding tables of one sub-table. The pointers point into the mapped file; every field that
// bounds an access into the file is kept so a damaged file can be refused instead of trusted.
struct PairsData {
    const u8* indextable;
    const u8* sizetable;  // little-endian u16 entries
    const u8* data;       // 64-byte aligned data blocks
    const u8* sympat;     // 3 bytes per symbol
    u8* symlen;           // values a symbol expands to, minus one
    int blocksize;
    int idxbits;          // 0 marks a sub-table holding one value, min_len
    int min_len;
    int max_len;
    int num_syms;
    u64 num_indices;
    u32 real_num_blocks;
    u32 num_blocks;       // entries of the size table (real blocks and padding blocks)
    u64 tb_size;          // positions indexed by the sub-table
    u16 offset[33];       // first symbol of each code length, indexed by length
    u32 base[33];         // canonical-code limits by code length, left-aligned in 32 bits
};

// Index layout of one sub-table: its men in the file's order, their groups and multipliers.
struct EncInfo {
    PairsData* precomp;
    u64 factor[TBPIECES];
    u8 pieces[TBPIECES];
    u8 norm[TBPIECES];
    u64 tb_size;
};

struct TBEntry {
    const u8* data;  // start of the mapped file, null until loaded
    u64 key;
    u64 mapped_size;
    std::atomic<u8> ready;
    u8 num;
    u8 symmetric;
    u8 has_pawns;
};

struct TBEntry_piece : TBEntry {
    u8 enc_type;
    EncInfo ei[2];  // by side to move as stored in the file
};

struct TBEntry_pawn : TBEntry {
    u8 pawns[2];    // pawns of the leading colour, then of the other
    EncInfo ei[4][2];  // by pawn file, then side
};

struct DTZEntry_piece : TBEntry {
    u8 enc_type;
    EncInfo ei;
    u8 flags;
    u16 map_idx[4];
    const u8* map;
};

struct DTZEntry_pawn : TBEntry {
    u8 pawns[2];
    EncInfo ei[4];
    u8 flags[4];
    u16 map_idx[4][4];
    const u8* map;
};

struct TBHashEntry {
    std::atomic<u64> key;  // cleared when the table behind it proves unusable
    TBEntry* ptr;
};

struct DTZTableEntry {
    u64 key1;
    u64 key2;
    TBEntry* entry;
};

extern int TB_LARGEST;
extern int TBnum_piece, TBnum_pawn;
extern TBHashEntry TB_hash[1 << TBHASHBITS][HSHMAX];
extern DTZTableEntry DTZ_table[DTZ_ENTRIES];
extern std::mutex TB_MUTEX;

// Squares a pawn on a square attacks: [1] white pawns, [0] black pawns (the prober's turn).
extern u64 pawn_attacks_table[2][64];
void init_pawn_attacks();

extern const u64 tb_material_keys[2][5];  // [colour][queen, rook, bishop, knight, pawn]

void init_tablebases(const char* path);
void init_tb(const char* name);
// Writes into file the first path of name + suffix in the directories of the path that is a
// readable regular file; false when there is none.
bool find_tb(const char* name, const char* suffix, char* file, size_t size);
enum { MAP_OK, MAP_MISSING, MAP_ERROR };
// Maps a table file read-only; status (if given) tells a missing file from a failed mapping.
const u8* map_file(const char* name, const char* suffix, u64* size, int* status = nullptr);
void unmap_file(const u8* data, u64 size);
void free_wdl_entry(TBEntry* entry);
void free_dtz_entry(TBEntry* entry);

// Registry lookup: the slot holding key, or null.
TBHashEntry* tb_find(u64 key);

// Maps and parses a WDL table; false (and a message) when it cannot be used.
bool init_table_wdl(TBEntry* entry, const char* name);
// Maps and parses the DTZ file of name into entry; false when it cannot be used.
bool init_table_dtz(TBEntry* entry, const char* name);

// The value stored for position index idx, or -1 when the data is damaged.
int decompress_pairs(const PairsData* d, u64 idx);

// Position index of the squares in pos (in the sub-table's piece order); pos is normalised in
// place. Returns ~0 when the squares do not form a position of the table.
u64 encode_piece(int enc_type, int num, const u8* norm, int* pos, const u64* factor);
u64 encode_pawn(const u8* pawns, int num, const u8* norm, int* pos, const u64* factor);

// Pawn file (0..3) of the leading pawns listed in pos[0..count): the pawn with the smallest
// file-rank code is moved to pos[0].
int pawn_file(int* pos, int count);

// Constant index tables, exposed for the tests.
extern short KK_idx[10][64];
extern u32 binomial[5][64];
