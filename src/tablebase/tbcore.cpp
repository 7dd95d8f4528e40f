// Syzygy table files: which tables exist, mapping them, reading their headers, decoding values and
// turning positions into indices.
//
// The decoder does not trust a file because its magic number matches: every offset, count and
// symbol read from a file is checked against the mapping, so a truncated or damaged table is
// refused ("Corrupted table.") or makes its probes fail instead of reading outside the mapping.

#include "tbcore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

int TB_LARGEST = 0;
int TBnum_piece = 0, TBnum_pawn = 0;
TBHashEntry TB_hash[1 << TBHASHBITS][HSHMAX];
DTZTableEntry DTZ_table[DTZ_ENTRIES];
std::mutex TB_MUTEX;
u64 pawn_attacks_table[2][64];

static bool initialized = false;
static char* path_string = nullptr;
static char** paths = nullptr;
static int num_paths = 0;

static TBEntry_piece TB_piece[TBMAX_PIECE];
static TBEntry_pawn TB_pawn[TBMAX_PAWN];

const u64 tb_material_keys[2][5] = {
    {0xA3EC1ABC71E90863ULL, 0x985DEB9FC49333F9ULL, 0xAADC1A2BE446234DULL, 0xD2FB81862830191FULL,
     0xEC0ADE190C0F6003ULL},
    {0xD6E4E47D24962951ULL, 0xFD7866B439B94495ULL, 0xD5A4C95928F2FBE3ULL, 0xBAEB854CD3259441ULL,
     0xA24F0F571BB202E7ULL}};

// ---------------------------------------------------------------------------------------------
// Constant index tables

short KK_idx[10][64];
u32 binomial[5][64];
static u8 triangle[64];
static u8 diag[64];
static u8 lower[64];
static u8 flipdiag[64];
static u8 flap[64];
static u8 ptwist[64];
static u32 pawnidx[5][24];
static u32 pfactor[5][4];
static const u8 file_to_file[16] = {0, 1, 2, 3, 3, 2, 1, 0};
static const u64 pivfac[3] = {31332, 28056, 462};
// The triangle a1-d1-d4 in the numbering of `triangle`.
static const int triangle_squares[10] = {1, 2, 3, 10, 11, 19, 0, 9, 18, 27};

static inline int file_of(int s) { return s & 7; }
static inline int rank_of(int s) { return s >> 3; }
static inline bool off_diagonal(int s) { return file_of(s) != rank_of(s); }
static inline bool above_diagonal(int s) { return rank_of(s) > file_of(s); }

static u64 choose(int n, int k) {
    if (k < 0 || n < k) return 0;
    u64 r = 1;
    for (int i = 0; i < k; i++) r = r * u64(n - i) / u64(i + 1);
    return r;
}

static void init_indices() {
    for (int s = 0; s < 64; s++) {
        int f = file_of(s), r = rank_of(s);
        flipdiag[s] = u8(f * 8 + r);
        int tf = f > 3 ? 7 - f : f, tr = r > 3 ? 7 - r : r;
        if (tr > tf) { int t = tf; tf = tr; tr = t; }
        for (int t = 0; t < 10; t++)
            if (triangle_squares[t] == tr * 8 + tf) triangle[s] = u8(t);
        diag[s] = f == r ? u8(f) : f + r == 7 ? u8(8 + r) : 0;
    }
    int n = 0;
    for (int s = 0; s < 64; s++)
        if (rank_of(s) < file_of(s)) lower[s] = u8(n++);
    for (int s = 0; s < 64; s++) {
        if (rank_of(s) > file_of(s)) lower[s] = lower[flipdiag[s]];
        if (rank_of(s) == file_of(s)) lower[s] = u8(28 + file_of(s));
    }

    auto near = [](int a, int b) {
        return abs(file_of(a) - file_of(b)) <= 1 && abs(rank_of(a) - rank_of(b)) <= 1;
    };
    int code = 0;
    for (int t = 0; t < 10; t++) {
        int k = triangle_squares[t];
        for (int s = 0; s < 64; s++) {
            KK_idx[t][s] = -1;
            if (near(s, k)) continue;
            if (t >= 6 && rank_of(s) >= file_of(s)) continue;  // the diagonal comes afterwards
            KK_idx[t][s] = short(code++);
        }
    }
    for (int t = 6; t < 10; t++) {
        int k = triangle_squares[t];
        for (int s = 0; s < 64; s += 9)
            if (!near(s, k)) KK_idx[t][s] = short(code++);
    }

    for (int i = 0; i < 5; i++)
        for (int s = 0; s < 64; s++) binomial[i][s] = u32(choose(s, i + 1));

    for (int s = 0; s < 64; s++) {
        flap[s] = ptwist[s] = 0;
        int r = rank_of(s), f = file_of(s);
        if (r < 1 || r > 6) continue;
        int m = f < 7 - f ? f : 7 - f;
        flap[s] = u8(6 * m + r - 1);
        ptwist[s] = u8(47 - 12 * m - 2 * (r - 1) - (f >= 4 ? 1 : 0));
    }
    for (int k = 0; k < 5; k++) {
        for (int file = 0; file < 4; file++) {
            u32 s = 0;
            for (int v = 6 * file; v < 6 * file + 6; v++) {
                pawnidx[k][v] = s;
                int q = (v % 6 + 1) * 8 + v / 6;
                s += k == 0 ? 1 : binomial[k - 1][ptwist[q]];
            }
            pfactor[k][file] = s;
        }
    }
}

void init_pawn_attacks() {
    for (int s = 0; s < 64; s++) {
        pawn_attacks_table[0][s] = pawn_attacks_table[1][s] = 0;
        int f = file_of(s), r = rank_of(s);
        for (int df = -1; df <= 1; df += 2) {
            if (f + df < 0 || f + df > 7) continue;
            if (r > 0) pawn_attacks_table[0][s] |= u64(1) << (s - 8 + df);
            if (r < 7) pawn_attacks_table[1][s] |= u64(1) << (s + 8 + df);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Files

bool find_tb(const char* name, const char* suffix, char* file, size_t size) {
    for (int i = 0; i < num_paths; i++) {
        if (snprintf(file, size, "%s/%s%s", paths[i], name, suffix) >= int(size)) continue;
        // A directory, FIFO or device named like a table is not a table.
        if (isReadableFile(file)) return true;
    }
    return false;
}

// An empty file cannot be mapped; it is handed out as this zero-length mapping so that the
// loader rejects it like any other damaged table.
static const u8 empty_file[8] = {0};

const u8* map_file(const char* name, const char* suffix, u64* size, int* status) {
    int dummy;
    if (!status) status = &dummy;
    *size = 0;
    char file[4096];
    if (!find_tb(name, suffix, file, sizeof file)) {
        *status = MAP_MISSING;
        return nullptr;
    }
    int mapped;
    const u8* data = mapFileReadOnly(file, size, &mapped);
    if (mapped == FILEMISSING) {
        *status = MAP_MISSING;
        return nullptr;
    }
    if (mapped == FILEMAPFAILED) {
        // The table is left out rather than ending the engine.
        fprintf(stderr, "Could not mmap() %s%s.\n", name, suffix);
        *status = MAP_ERROR;
        return nullptr;
    }
    *status = MAP_OK;
    return *size == 0 ? empty_file : data;
}

void unmap_file(const u8* data, u64 size) {
    if (!data || data == empty_file || size == 0) return;
    unmapFileReadOnly(data, size);
}

// ---------------------------------------------------------------------------------------------
// Registry

static u64 material_key(const int* pcs, bool mirror) {
    static const int kinds[5] = {5, 4, 3, 2, 1};  // queen, rook, bishop, knight, pawn
    u64 key = 0;
    for (int c = 0; c < 2; c++)
        for (int k = 0; k < 5; k++)
            key += u64(pcs[(c ^ int(mirror)) * 8 + kinds[k]]) * tb_material_keys[c][k];
    return key;
}

// Men of a table name such as KRPvKR: pcs[type] for the first side, pcs[8 + type] for the other.
static void count_name(const char* name, int* pcs) {
    for (int i = 0; i < 16; i++) pcs[i] = 0;
    int colour = 0;
    for (const char* s = name; *s; s++) {
        switch (*s) {
        case 'v': colour = 8; break;
        case 'P': pcs[1 | colour]++; break;
        case 'N': pcs[2 | colour]++; break;
        case 'B': pcs[3 | colour]++; break;
        case 'R': pcs[4 | colour]++; break;
        case 'Q': pcs[5 | colour]++; break;
        case 'K': pcs[6 | colour]++; break;
        default: break;
        }
    }
}

static int free_slots(u64 key) {
    TBHashEntry* bucket = TB_hash[key >> (64 - TBHASHBITS)];
    int n = 0;
    for (int i = 0; i < HSHMAX; i++) n += !bucket[i].ptr;
    return n;
}

static bool hash_has_room(u64 key, u64 key2) {
    if (key == key2) return free_slots(key) >= 1;
    if ((key ^ key2) >> (64 - TBHASHBITS)) return free_slots(key) >= 1 && free_slots(key2) >= 1;
    return free_slots(key) >= 2;
}

static void add_to_hash(TBEntry* entry, u64 key) {
    TBHashEntry* bucket = TB_hash[key >> (64 - TBHASHBITS)];
    for (int i = 0; i < HSHMAX; i++)
        if (!bucket[i].ptr) {
            bucket[i].key.store(key, std::memory_order_relaxed);
            bucket[i].ptr = entry;
            return;
        }
}

TBHashEntry* tb_find(u64 key) {
    if (key == 0) return nullptr;
    TBHashEntry* bucket = TB_hash[key >> (64 - TBHASHBITS)];
    for (int i = 0; i < HSHMAX; i++)
        if (bucket[i].key.load(std::memory_order_relaxed) == key && bucket[i].ptr) return &bucket[i];
    return nullptr;
}

void init_tb(const char* name) {
    char file[4096];
    if (!find_tb(name, ".rtbw", file, sizeof file)) return;

    int pcs[16];
    count_name(name, pcs);
    u64 key = material_key(pcs, false);
    u64 key2 = material_key(pcs, true);
    bool has_pawns = pcs[1] + pcs[9] > 0;

    // A full registry leaves the table out and carries on.
    if (has_pawns && TBnum_pawn == TBMAX_PAWN) {
        fprintf(stderr, "TBMAX_PAWN limit too low!\n");
        return;
    }
    if (!has_pawns && TBnum_piece == TBMAX_PIECE) {
        fprintf(stderr, "TBMAX_PIECE limit too low!\n");
        return;
    }
    if (!hash_has_room(key, key2)) {
        fprintf(stderr, "HSHMAX too low!\n");
        return;
    }

    TBEntry* entry;
    if (has_pawns) {
        TBEntry_pawn* e = &TB_pawn[TBnum_pawn++];
        e->pawns[0] = u8(pcs[1]);
        e->pawns[1] = u8(pcs[9]);
        if (pcs[9] > 0 && (pcs[1] == 0 || pcs[9] < pcs[1])) {
            e->pawns[0] = u8(pcs[9]);
            e->pawns[1] = u8(pcs[1]);
        }
        entry = e;
    } else {
        TBEntry_piece* e = &TB_piece[TBnum_piece++];
        int j = 0;
        for (int i = 0; i < 16; i++)
            if (pcs[i] == 1) j++;
        if (j >= 3) e->enc_type = 0;
        else if (j == 2) e->enc_type = 2;
        else {
            int least = 16;
            for (int i = 0; i < 16; i++)
                if (pcs[i] >= 2 && pcs[i] < least) least = pcs[i];
            e->enc_type = u8(1 + least);
        }
        entry = e;
    }
    entry->data = nullptr;
    entry->key = key;
    entry->mapped_size = 0;
    entry->ready.store(0, std::memory_order_relaxed);
    int num = 0;
    for (int i = 0; i < 16; i++) num += pcs[i];
    entry->num = u8(num);
    entry->symmetric = key == key2;
    entry->has_pawns = has_pawns;
    if (num > TB_LARGEST) TB_LARGEST = num;

    add_to_hash(entry, key);
    if (key2 != key) add_to_hash(entry, key2);
}

static void free_pairs(PairsData* d) {
    if (!d) return;
    delete[] d->symlen;
    delete d;
}

void free_wdl_entry(TBEntry* entry) {
    unmap_file(entry->data, entry->mapped_size);
    entry->data = nullptr;
    entry->mapped_size = 0;
    if (entry->has_pawns) {
        TBEntry_pawn* e = static_cast<TBEntry_pawn*>(entry);
        for (int f = 0; f < 4; f++)
            for (int s = 0; s < 2; s++) {
                free_pairs(e->ei[f][s].precomp);
                e->ei[f][s].precomp = nullptr;
            }
    } else {
        TBEntry_piece* e = static_cast<TBEntry_piece*>(entry);
        for (int s = 0; s < 2; s++) {
            free_pairs(e->ei[s].precomp);
            e->ei[s].precomp = nullptr;
        }
    }
}

void free_dtz_entry(TBEntry* entry) {
    if (!entry) return;
    unmap_file(entry->data, entry->mapped_size);
    if (entry->has_pawns) {
        DTZEntry_pawn* e = static_cast<DTZEntry_pawn*>(entry);
        for (int f = 0; f < 4; f++) free_pairs(e->ei[f].precomp);
        delete e;
    } else {
        DTZEntry_piece* e = static_cast<DTZEntry_piece*>(entry);
        free_pairs(e->ei.precomp);
        delete e;
    }
}

void init_tablebases(const char* path) {
    if (initialized) {
        free(path_string);
        free(paths);
        path_string = nullptr;
        paths = nullptr;
        num_paths = 0;
        for (int i = 0; i < TBnum_piece; i++) free_wdl_entry(&TB_piece[i]);
        for (int i = 0; i < TBnum_pawn; i++) free_wdl_entry(&TB_pawn[i]);
        for (int i = 0; i < DTZ_ENTRIES; i++) {
            free_dtz_entry(DTZ_table[i].entry);
            DTZ_table[i] = DTZTableEntry{0, 0, nullptr};
        }
    } else {
        init_indices();
        initialized = true;
    }
    TBnum_piece = TBnum_pawn = 0;
    TB_LARGEST = 0;
    for (auto& bucket : TB_hash)
        for (auto& slot : bucket) {
            slot.key.store(0, std::memory_order_relaxed);
            slot.ptr = nullptr;
        }

    if (!path || !*path || !strcmp(path, "<empty>")) return;

    path_string = strdup(path);
    size_t len = strlen(path_string);
    paths = static_cast<char**>(malloc(sizeof(char*) * (len / 2 + 2)));
    for (size_t i = 0; i < len;) {
        while (i < len && path_string[i] == SEARCHPATHSEPARATOR) path_string[i++] = 0;
        if (i >= len) break;
        paths[num_paths++] = &path_string[i];
        while (i < len && path_string[i] != SEARCHPATHSEPARATOR) i++;
    }
    for (int i = 0; i < num_paths; i++) {
        if (!isDirectory(paths[i]))
            fprintf(stderr, "Could not find directory %s\n", paths[i]);
    }

    static const char pchr[] = "QRBNP";
    char str[16];
    for (int i = 0; i < 5; i++) {
        snprintf(str, sizeof str, "K%cvK", pchr[i]);
        init_tb(str);
    }
    for (int i = 0; i < 5; i++)
        for (int j = i; j < 5; j++) {
            snprintf(str, sizeof str, "K%cvK%c", pchr[i], pchr[j]);
            init_tb(str);
        }
    for (int i = 0; i < 5; i++)
        for (int j = i; j < 5; j++) {
            snprintf(str, sizeof str, "K%c%cvK", pchr[i], pchr[j]);
            init_tb(str);
        }
    for (int i = 0; i < 5; i++)
        for (int j = i; j < 5; j++)
            for (int k = 0; k < 5; k++) {
                snprintf(str, sizeof str, "K%c%cvK%c", pchr[i], pchr[j], pchr[k]);
                init_tb(str);
            }
    for (int i = 0; i < 5; i++)
        for (int j = i; j < 5; j++)
            for (int k = j; k < 5; k++) {
                snprintf(str, sizeof str, "K%c%c%cvK", pchr[i], pchr[j], pchr[k]);
                init_tb(str);
            }
    for (int i = 0; i < 5; i++)
        for (int j = i; j < 5; j++)
            for (int k = i; k < 5; k++)
                for (int l = (i == k) ? j : k; l < 5; l++) {
                    snprintf(str, sizeof str, "K%c%cvK%c%c", pchr[i], pchr[j], pchr[k], pchr[l]);
                    init_tb(str);
                }
    for (int i = 0; i < 5; i++)
        for (int j = i; j < 5; j++)
            for (int k = j; k < 5; k++)
                for (int l = 0; l < 5; l++) {
                    snprintf(str, sizeof str, "K%c%c%cvK%c", pchr[i], pchr[j], pchr[k], pchr[l]);
                    init_tb(str);
                }
    for (int i = 0; i < 5; i++)
        for (int j = i; j < 5; j++)
            for (int k = j; k < 5; k++)
                for (int l = k; l < 5; l++) {
                    snprintf(str, sizeof str, "K%c%c%c%cvK", pchr[i], pchr[j], pchr[k], pchr[l]);
                    init_tb(str);
                }

    printf("Found %d tablebases.\n", TBnum_piece + TBnum_pawn);
    fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// Header parsing

static inline u32 read_le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
static inline u32 read_le16(const u8* p) { return u32(p[0]) | u32(p[1]) << 8; }
static inline u32 read_be32(const u8* p) { return u32(p[0]) << 24 | u32(p[1]) << 16 | u32(p[2]) << 8 | u32(p[3]); }

// A bounds-checked view of a mapped file.
struct FileView {
    const u8* data;
    u64 size;
    bool has(u64 off, u64 len) const { return off <= size && len <= size - off; }
};

static void set_norm_piece(int enc_type, int num, const u8* pieces, u8* norm) {
    for (int i = 0; i < TBPIECES; i++) norm[i] = 0;
    norm[0] = enc_type == 0 ? 3 : enc_type == 2 ? 2 : u8(enc_type - 1);
    for (int i = norm[0]; i < num; i += norm[i])
        for (int j = i; j < num && pieces[j] == pieces[i]; j++) norm[i]++;
}

static void set_norm_pawn(const u8* pawns, int num, const u8* pieces, u8* norm) {
    for (int i = 0; i < TBPIECES; i++) norm[i] = 0;
    norm[0] = pawns[0];
    if (pawns[1]) norm[pawns[0]] = pawns[1];
    for (int i = pawns[0] + pawns[1]; i < num; i += norm[i])
        for (int j = i; j < num && pieces[j] == pieces[i]; j++) norm[i]++;
}

// Fills the multipliers of the groups; returns the number of indices, 0 when the ordering
// value names no group.
static u64 calc_factors_piece(u64* factor, int num, int order, const u8* norm, int enc_type) {
    if (enc_type > 2 || norm[0] < 1) return 0;
    int n = 64 - norm[0];
    u64 f = 1;
    bool lead_done = false;
    for (int i = norm[0], k = 0; i < num || k == order; k++) {
        if (k == order) {
            factor[0] = f;
            f *= pivfac[enc_type];
            lead_done = true;
        } else {
            factor[i] = f;
            f *= choose(n, norm[i]);
            n -= norm[i];
            i += norm[i];
        }
    }
    return lead_done ? f : 0;
}

static u64 calc_factors_pawn(u64* factor, int num, int order, int order2, const u8* norm, int file) {
    int i = norm[0];
    if (order2 < 0x0f) i += norm[i];
    int n = 64 - i;
    u64 f = 1;
    bool lead_done = false, second_done = order2 >= 0x0f;
    for (int k = 0; i < num || k == order || k == order2; k++) {
        if (k == order) {
            factor[0] = f;
            f *= pfactor[norm[0] - 1][file];
            lead_done = true;
        } else if (k == order2) {
            factor[norm[0]] = f;
            f *= choose(48 - norm[0], norm[norm[0]]);
            second_done = true;
        } else {
            factor[i] = f;
            f *= choose(n, norm[i]);
            n -= norm[i];
            i += norm[i];
        }
    }
    return lead_done && second_done ? f : 0;
}

// The men listed in a description must be exactly the men of the table.
static bool same_men(const u8* pieces, int num, const int* pcs) {
    int cnt[16] = {0};
    for (int i = 0; i < num; i++) cnt[pieces[i]]++;
    for (int c = 0; c < 16; c++)
        if (cnt[c] != pcs[c]) return false;
    return true;
}

static bool setup_pieces_piece(EncInfo* ei, const u8* p, int shift, int num, const int* pcs, int enc_type) {
    for (int i = 0; i < num; i++) ei->pieces[i] = (p[i + 1] >> shift) & 0x0f;
    if (!same_men(ei->pieces, num, pcs)) return false;
    int order = (p[0] >> shift) & 0x0f;
    set_norm_piece(enc_type, num, ei->pieces, ei->norm);
    ei->tb_size = calc_factors_piece(ei->factor, num, order, ei->norm, enc_type);
    return ei->tb_size != 0;
}

static bool setup_pieces_pawn(EncInfo* ei, const u8* p, int shift, int num, const int* pcs, const u8* pawns,
                              int lead, int file) {
    int j = pawns[1] > 0 ? 1 : 0;
    int order = (p[0] >> shift) & 0x0f;
    int order2 = j ? (p[1] >> shift) & 0x0f : 0x0f;
    if (j && order2 == 0x0f) return false;
    for (int i = 0; i < num; i++) ei->pieces[i] = (p[i + 1 + j] >> shift) & 0x0f;
    if (!same_men(ei->pieces, num, pcs)) return false;
    for (int i = 0; i < pawns[0]; i++)
        if (ei->pieces[i] != lead) return false;
    for (int i = pawns[0]; i < pawns[0] + pawns[1]; i++)
        if (ei->pieces[i] != (lead ^ 8)) return false;
    set_norm_pawn(pawns, num, ei->pieces, ei->norm);
    ei->tb_size = calc_factors_pawn(ei->factor, num, order, order2, ei->norm, file);
    return ei->tb_size != 0;
}

// Lengths of the symbols' expansions; false on a symbol that refers to itself or expands to
// more values than a symbol can hold.
static bool calc_symlen(PairsData* d, int s, u8* state) {
    if (state[s] == 2) return true;
    if (state[s] == 1) return false;
    state[s] = 1;
    const u8* w = d->sympat + 3 * s;
    int s2 = (w[2] << 4) | (w[1] >> 4);
    if (s2 == 0x0fff) {
        d->symlen[s] = 0;
    } else {
        int s1 = ((w[1] & 0x0f) << 8) | w[0];
        if (s1 >= d->num_syms || s2 >= d->num_syms) return false;
        if (!calc_symlen(d, s1, state) || !calc_symlen(d, s2, state)) return false;
        int len = d->symlen[s1] + d->symlen[s2] + 1;
        if (len > 255) return false;
        d->symlen[s] = u8(len);
    }
    state[s] = 2;
    return true;
}

// Reads the compression header of one sub-table at *off; on success *off is the first byte after
// it and size[] holds the lengths of its index table, size table and data.
static PairsData* setup_pairs(const FileView& fv, u64* off, u64 tb_size, u64* size, u8* flags, bool wdl) {
    u64 o = *off;
    if (!fv.has(o, 2)) return nullptr;
    const u8* data = fv.data + o;
    *flags = data[0];
    PairsData* d = new PairsData();
    d->tb_size = tb_size;
    if (data[0] & 0x80) {
        d->idxbits = 0;
        d->min_len = wdl ? data[1] : 0;
        size[0] = size[1] = size[2] = 0;
        *off = o + 2;
        return d;
    }
    if (!fv.has(o, 10)) return free_pairs(d), nullptr;
    d->blocksize = data[1];
    d->idxbits = data[2];
    d->real_num_blocks = read_le32(data + 4);
    d->num_blocks = d->real_num_blocks + data[3];
    d->max_len = data[8];
    d->min_len = data[9];
    if (d->min_len < 1 || d->max_len < d->min_len || d->max_len > 32 || d->blocksize > 30 ||
        d->idxbits < 1 || d->idxbits > 40 || d->real_num_blocks == 0 || d->num_blocks < d->real_num_blocks)
        return free_pairs(d), nullptr;
    int h = d->max_len - d->min_len + 1;
    if (!fv.has(o, 12 + 2 * u64(h))) return free_pairs(d), nullptr;
    d->num_syms = int(read_le16(data + 10 + 2 * h));
    u64 hdr = 12 + 2 * u64(h) + 3 * u64(d->num_syms) + (d->num_syms & 1);
    if (d->num_syms == 0 || !fv.has(o, hdr)) return free_pairs(d), nullptr;
    for (int i = 0; i < h; i++) d->offset[d->min_len + i] = u16(read_le16(data + 10 + 2 * i));
    d->sympat = data + 12 + 2 * h;

    d->symlen = new u8[d->num_syms];
    u8* state = new u8[d->num_syms]();
    bool ok = true;
    for (int s = 0; s < d->num_syms && ok; s++) ok = calc_symlen(d, s, state);
    delete[] state;
    if (!ok) return free_pairs(d), nullptr;

    u64 tmp[33];
    tmp[h - 1] = 0;
    for (int i = h - 2; i >= 0; i--)
        tmp[i] = (tmp[i + 1] + d->offset[d->min_len + i] - d->offset[d->min_len + i + 1]) / 2;
    for (int i = 0; i < h; i++) d->base[d->min_len + i] = u32(tmp[i] << (32 - (d->min_len + i)));

    d->num_indices = (tb_size + (u64(1) << d->idxbits) - 1) >> d->idxbits;
    size[0] = 6 * d->num_indices;
    size[1] = 2 * u64(d->num_blocks);
    size[2] = u64(d->real_num_blocks) << d->blocksize;
    *off = o + hdr;
    return d;
}

// Hands out the index tables, size tables and data blocks of the sub-tables in file order.
static bool place_tables(const FileView& fv, u64* off, PairsData** pd, u64 (*size)[3], int count) {
    u64 o = *off;
    for (int i = 0; i < count; i++) {
        if (!fv.has(o, size[i][0])) return false;
        pd[i]->indextable = fv.data + o;
        o += size[i][0];
    }
    for (int i = 0; i < count; i++) {
        if (!fv.has(o, size[i][1])) return false;
        pd[i]->sizetable = fv.data + o;
        o += size[i][1];
    }
    for (int i = 0; i < count; i++) {
        o = (o + 63) & ~u64(63);
        if (size[i][2] && !fv.has(o, size[i][2])) return false;
        pd[i]->data = fv.data + (o <= fv.size ? o : fv.size);
        o += size[i][2];
    }
    *off = o;
    return true;
}

static int leading_pawn_code(const int* pcs) {
    return pcs[9] > 0 && (pcs[1] == 0 || pcs[9] < pcs[1]) ? 9 : 1;
}

static bool parse_wdl(TBEntry* entry, const char* name) {
    FileView fv{entry->data, entry->mapped_size};
    int pcs[16];
    count_name(name, pcs);
    if (!fv.has(0, 5)) return false;
    u8 hflags = fv.data[4];
    bool split = hflags & 1;
    if (bool(hflags & 2) != bool(entry->has_pawns)) return false;
    int num = entry->num;
    int sides = split ? 2 : 1;
    u64 off = 5;
    PairsData* pd[8];
    u64 size[8][3];
    int count = 0;
    u8 flags;

    if (!entry->has_pawns) {
        TBEntry_piece* e = static_cast<TBEntry_piece*>(entry);
        if (!fv.has(off, 1 + u64(num))) return false;
        for (int s = 0; s < sides; s++)
            if (!setup_pieces_piece(&e->ei[s], fv.data + off, 4 * s, num, pcs, e->enc_type)) return false;
        off += 1 + num;
        off += off & 1;
        for (int s = 0; s < sides; s++) {
            e->ei[s].precomp = setup_pairs(fv, &off, e->ei[s].tb_size, size[count], &flags, true);
            if (!e->ei[s].precomp) return false;
            pd[count++] = e->ei[s].precomp;
        }
    } else {
        TBEntry_pawn* e = static_cast<TBEntry_pawn*>(entry);
        int j = e->pawns[1] > 0 ? 1 : 0;
        int lead = leading_pawn_code(pcs);
        for (int f = 0; f < 4; f++) {
            if (!fv.has(off, 1 + j + u64(num))) return false;
            for (int s = 0; s < sides; s++)
                if (!setup_pieces_pawn(&e->ei[f][s], fv.data + off, 4 * s, num, pcs, e->pawns, lead, f))
                    return false;
            off += 1 + j + num;
        }
        off += off & 1;
        for (int f = 0; f < 4; f++)
            for (int s = 0; s < sides; s++) {
                e->ei[f][s].precomp = setup_pairs(fv, &off, e->ei[f][s].tb_size, size[count], &flags, true);
                if (!e->ei[f][s].precomp) return false;
                pd[count++] = e->ei[f][s].precomp;
            }
    }
    return place_tables(fv, &off, pd, size, count);
}

bool init_table_wdl(TBEntry* entry, const char* name) {
    int status;
    u64 size;
    const u8* data = map_file(name, ".rtbw", &size, &status);
    if (!data) {
        if (status == MAP_MISSING) fprintf(stderr, "Could not find %s.rtbw\n", name);
        return false;
    }
    if (size < 4 || read_le32(data) != WDL_MAGIC) {
        fprintf(stderr, "Corrupted table.\n");
        unmap_file(data, size);
        return false;
    }
    entry->data = data;
    entry->mapped_size = size;
    if (!parse_wdl(entry, name)) {
        fprintf(stderr, "Corrupted table.\n");
        free_wdl_entry(entry);
        return false;
    }
    return true;
}

// Reads the four value maps of a sub-table whose values pass through them.
static bool read_maps(const FileView& fv, u64* off, u64 map_start, u16* map_idx) {
    for (int i = 0; i < 4; i++) {
        if (!fv.has(*off, 1)) return false;
        u64 len = fv.data[*off];
        if (!fv.has(*off, 1 + len)) return false;
        map_idx[i] = u16(*off + 1 - map_start);
        *off += 1 + len;
    }
    return true;
}

bool init_table_dtz(TBEntry* entry, const char* name) {
    u64 size;
    const u8* data = map_file(name, ".rtbz", &size);
    if (!data) return false;
    if (size < 4 || read_le32(data) != DTZ_MAGIC) {
        fprintf(stderr, "Corrupted table.\n");
        unmap_file(data, size);
        return false;
    }
    entry->data = data;
    entry->mapped_size = size;
    FileView fv{data, size};
    int pcs[16];
    count_name(name, pcs);
    int num = entry->num;
    u64 off = 5;
    PairsData* pd[4];
    u64 sizes[4][3];
    int count = 0;
    bool ok = fv.has(0, 5) && bool(data[4] & 2) == bool(entry->has_pawns);

    if (ok && !entry->has_pawns) {
        DTZEntry_piece* e = static_cast<DTZEntry_piece*>(entry);
        ok = fv.has(off, 1 + u64(num)) && setup_pieces_piece(&e->ei, data + off, 0, num, pcs, e->enc_type);
        off += 1 + num;
        off += off & 1;
        if (ok) e->ei.precomp = setup_pairs(fv, &off, e->ei.tb_size, sizes[0], &e->flags, false);
        ok = ok && e->ei.precomp;
        if (ok) {
            pd[count++] = e->ei.precomp;
            u64 map_start = off;
            e->map = data + off;
            if (e->flags & 2) ok = read_maps(fv, &off, map_start, e->map_idx);
            off += off & 1;
        }
    } else if (ok) {
        DTZEntry_pawn* e = static_cast<DTZEntry_pawn*>(entry);
        int j = e->pawns[1] > 0 ? 1 : 0;
        int lead = leading_pawn_code(pcs);
        for (int f = 0; f < 4 && ok; f++) {
            ok = fv.has(off, 1 + j + u64(num)) &&
                 setup_pieces_pawn(&e->ei[f], data + off, 0, num, pcs, e->pawns, lead, f);
            off += 1 + j + num;
        }
        off += off & 1;
        for (int f = 0; f < 4 && ok; f++) {
            e->ei[f].precomp = setup_pairs(fv, &off, e->ei[f].tb_size, sizes[count], &e->flags[f], false);
            ok = e->ei[f].precomp != nullptr;
            if (ok) pd[count++] = e->ei[f].precomp;
        }
        if (ok) {
            u64 map_start = off;
            e->map = data + off;
            for (int f = 0; f < 4 && ok; f++)
                if (e->flags[f] & 2) ok = read_maps(fv, &off, map_start, e->map_idx[f]);
            off += off & 1;
        }
    }
    ok = ok && place_tables(fv, &off, pd, sizes, count);
    if (!ok) fprintf(stderr, "Corrupted table.\n");
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Decompression

int decompress_pairs(const PairsData* d, u64 idx) {
    if (!d->idxbits) return d->min_len;
    if (idx >= d->tb_size) return -1;

    u64 mainidx = idx >> d->idxbits;
    int64_t litidx = int64_t(idx & ((u64(1) << d->idxbits) - 1)) - (int64_t(1) << (d->idxbits - 1));
    const u8* entry = d->indextable + 6 * mainidx;
    u32 block = read_le32(entry);
    litidx += read_le16(entry + 4);
    // An index entry may name one of the padding blocks after the data and reach back from it.
    if (block >= d->num_blocks) return -1;

    while (litidx < 0) {
        if (block == 0) return -1;
        block--;
        litidx += int64_t(read_le16(d->sizetable + 2 * u64(block))) + 1;
    }
    while (litidx > int64_t(read_le16(d->sizetable + 2 * u64(block)))) {
        litidx -= int64_t(read_le16(d->sizetable + 2 * u64(block))) + 1;
        if (++block >= d->num_blocks) return -1;
    }
    if (block >= d->real_num_blocks) return -1;

    // The block is a stream of big-endian 32-bit words; past its end only zero bits are read.
    const u8* ptr = d->data + (u64(block) << d->blocksize);
    const u8* end = ptr + (u64(1) << d->blocksize);
    u64 bits = 0;
    int avail = 0;
    auto refill = [&]() {
        while (avail <= 32) {
            u32 word = 0;
            if (end - ptr >= 4) {
                word = read_be32(ptr);
                ptr += 4;
            }
            bits |= u64(word) << (32 - avail);
            avail += 32;
        }
    };
    refill();
    int sym;
    for (;;) {
        u32 code = u32(bits >> 32);
        int l = d->min_len;
        while (l < d->max_len && code < d->base[l]) l++;
        sym = d->offset[l] + int((code - d->base[l]) >> (32 - l));
        if (sym >= d->num_syms) return -1;
        if (litidx < int64_t(d->symlen[sym]) + 1) break;
        litidx -= int64_t(d->symlen[sym]) + 1;
        bits <<= l;
        avail -= l;
        refill();
    }

    while (d->symlen[sym] != 0) {
        const u8* w = d->sympat + 3 * sym;
        int s1 = ((w[1] & 0x0f) << 8) | w[0];
        if (litidx < int64_t(d->symlen[s1]) + 1) {
            sym = s1;
        } else {
            litidx -= int64_t(d->symlen[s1]) + 1;
            sym = (w[2] << 4) | (w[1] >> 4);
        }
    }
    return d->sympat[3 * sym];
}

// ---------------------------------------------------------------------------------------------
// Indexing

static const u64 BAD_INDEX = ~u64(0);

// Adds the groups from index i on; j counts the men of earlier groups below each square.
static u64 encode_groups(u64 idx, int i, int num, const u8* norm, int* pos, const u64* factor) {
    while (i < num) {
        int t = norm[i];
        if (t < 1 || t > 5 || i + t > num) return BAD_INDEX;
        for (int a = i + 1; a < i + t; a++)
            for (int b = a; b > i && pos[b - 1] > pos[b]; b--) {
                int x = pos[b];
                pos[b] = pos[b - 1];
                pos[b - 1] = x;
            }
        u64 s = 0;
        for (int m = i; m < i + t; m++) {
            int p = pos[m], j = 0;
            for (int l = 0; l < i; l++) j += p > pos[l];
            s += binomial[m - i][p - j];
        }
        idx += s * factor[i];
        i += t;
    }
    return idx;
}

u64 encode_piece(int enc_type, int num, const u8* norm, int* pos, const u64* factor) {
    if (num < 2 || num > TBPIECES) return BAD_INDEX;
    if (pos[0] & 0x04)
        for (int i = 0; i < num; i++) pos[i] ^= 0x07;
    if (pos[0] & 0x20)
        for (int i = 0; i < num; i++) pos[i] ^= 0x38;
    int lead = enc_type == 0 ? 3 : 2;
    if (num < lead) return BAD_INDEX;
    int i;
    for (i = 0; i < lead; i++)
        if (off_diagonal(pos[i])) break;
    if (i < lead && above_diagonal(pos[i]))
        for (int k = 0; k < num; k++) pos[k] = flipdiag[pos[k]];

    u64 idx;
    if (enc_type == 0) {
        int a = pos[1] > pos[0];
        int b = (pos[2] > pos[0]) + (pos[2] > pos[1]);
        if (off_diagonal(pos[0]))
            idx = triangle[pos[0]] * 3906u + (pos[1] - a) * 62u + (pos[2] - b);
        else if (off_diagonal(pos[1]))
            idx = 23436u + diag[pos[0]] * 1736u + lower[pos[1]] * 62u + (pos[2] - b);
        else if (off_diagonal(pos[2]))
            idx = 30380u + diag[pos[0]] * 196u + (diag[pos[1]] - a) * 28u + lower[pos[2]];
        else
            idx = 31164u + diag[pos[0]] * 42u + (diag[pos[1]] - a) * 6u + (diag[pos[2]] - b);
        i = 3;
    } else if (enc_type == 1) {
        int b = (pos[2] > pos[0]) + (pos[2] > pos[1]);
        int kk = KK_idx[triangle[pos[0]]][pos[1]];
        if (kk < 0) return BAD_INDEX;
        if (kk < 441)
            idx = u64(kk) + 441u * u64(pos[2] - b);
        else
            idx = 26901u + u64(kk) + 21u * lower[pos[2]] - (off_diagonal(pos[2]) ? 0 : 21u * b);
        i = 3;
    } else {
        int kk = KK_idx[triangle[pos[0]]][pos[1]];
        if (kk < 0) return BAD_INDEX;
        idx = u64(kk);
        i = 2;
    }
    idx *= factor[0];
    return encode_groups(idx, i, num, norm, pos, factor);
}

u64 encode_pawn(const u8* pawns, int num, const u8* norm, int* pos, const u64* factor) {
    if (num > TBPIECES || pawns[0] < 1 || pawns[0] + pawns[1] > num) return BAD_INDEX;
    if (pos[0] & 0x04)
        for (int i = 0; i < num; i++) pos[i] ^= 0x07;
    for (int i = 0; i < pawns[0]; i++)
        if (rank_of(pos[i]) < 1 || rank_of(pos[i]) > 6) return BAD_INDEX;  // not a pawn square
    // The other leading pawns by ptwist, largest first.
    for (int a = 2; a < pawns[0]; a++)
        for (int b = a; b > 1 && ptwist[pos[b - 1]] < ptwist[pos[b]]; b--) {
            int x = pos[b];
            pos[b] = pos[b - 1];
            pos[b - 1] = x;
        }
    int t = pawns[0] - 1;
    u64 idx = pawnidx[t][flap[pos[0]]];
    for (int i = t; i > 0; i--) idx += binomial[t - i][ptwist[pos[i]]];
    idx *= factor[0];

    int i = pawns[0];
    if (pawns[1]) {
        int end = i + pawns[1];
        for (int a = i + 1; a < end; a++)
            for (int b = a; b > i && pos[b - 1] > pos[b]; b--) {
                int x = pos[b];
                pos[b] = pos[b - 1];
                pos[b - 1] = x;
            }
        u64 s = 0;
        for (int m = i; m < end; m++) {
            int p = pos[m], j = 0;
            for (int k = 0; k < i; k++) j += p > pos[k];
            if (p - j - 8 < 0) return BAD_INDEX;
            s += binomial[m - i][p - j - 8];
        }
        idx += s * factor[i];
        i = end;
    }
    return encode_groups(idx, i, num, norm, pos, factor);
}

int pawn_file(int* pos, int count) {
    for (int i = 1; i < count; i++)
        if (flap[pos[0]] > flap[pos[i]]) {
            int x = pos[0];
            pos[0] = pos[i];
            pos[i] = x;
        }
    return file_to_file[pos[0] & 7];
}
