// DES-EDE3, SHA-1, MD5 and the random records.
#include <openssl/crypto.h>
#include <openssl/md5.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "internal.h"
#include "outside/worker_threads.h"

// The hash states live in the caller's record: no heap, nothing to leak when a
// caller gives up between Init and Final.
static_assert(sizeof(SHA_CTX) <= sizeof(TR_SHA_CTX::state) && alignof(SHA_CTX) <= alignof(uint64_t));
static_assert(sizeof(MD5_CTX) <= sizeof(TR_MD5_CTX::state) && alignof(MD5_CTX) <= alignof(uint64_t));

namespace {

SHA_CTX* Sha(TR_SHA_CTX* c) { return reinterpret_cast<SHA_CTX*>(c->state); }
MD5_CTX* Md5(TR_MD5_CTX* c) { return reinterpret_cast<MD5_CTX*>(c->state); }

// ECB with a fresh context per call: no state runs from one call to the next, so
// any cutting of the data into multiples of 8 gives the same bytes.
TRRESULT Des3Part(int encrypt, const uint8_t* key24, const uint8_t* in, size_t len, uint8_t* out) {
  trsa::ErrScope errs;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return TR_E_ALLOC;
  TRRESULT rc = TR_E_CRYPTO;
  int n = 0;
  if (EVP_CipherInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key24, nullptr, encrypt) == 1 &&
      EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_CipherUpdate(ctx, out, &n, in, static_cast<int>(len)) == 1 &&
      n == static_cast<int>(len))
    rc = 0;
  EVP_CIPHER_CTX_free(ctx);
  return rc;
}

// Below this a call stays on the calling thread: starting threads would cost more
// than the cipher. Each worker gets at least this much.
constexpr size_t kParallelPart = size_t(256) << 10;
// The threads take the data in slices of this many bytes, each the next one not
// yet taken: on a machine shared with other work a thread that runs late holds up
// the call by one slice, not by an equal share of the whole.
constexpr size_t kSlice = size_t(64) << 10;
static_assert(kSlice % 8 == 0);

// The same ECB in consecutive slices of multiples of 8, on the calling thread and
// workers alike. Every thread has ended when this returns.
TRRESULT Des3(int encrypt, const uint8_t* key24, const uint8_t* in, uint32_t len, uint8_t* out) {
  if (!key24 || ((!in || !out) && len)) return TR_E_PARAM;
  if (len % 8) return TR_E_DATA;
  if (!len) return 0;
  if (len > INT32_MAX - 8) return TR_E_LEN;
  size_t parts = std::min<size_t>(outside_threads::WorkerCount(), len / kParallelPart);
  if (parts <= 1) return Des3Part(encrypt, key24, in, len, out);

  const size_t slices = (size_t(len) + kSlice - 1) / kSlice;
  std::atomic<size_t> next{0};
  // The failure of the lowest slice that failed, as one pass over the data would
  // meet it first.
  std::mutex failed;
  size_t failedAt = slices;
  TRRESULT failure = 0;
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < slices;) {
      const size_t at = i * kSlice, n = std::min(kSlice, size_t(len) - at);
      if (const TRRESULT rc = Des3Part(encrypt, key24, in + at, n, out + at)) {
        std::lock_guard<std::mutex> lock(failed);
        if (i < failedAt) {
          failedAt = i;
          failure = rc;
        }
      }
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(parts - 1);
  for (size_t i = 1; i < parts; ++i) {
    try {
      workers.emplace_back(work);
    } catch (...) {
      // No thread to be had: the others take its slices.
      break;
    }
  }
  work();
  for (std::thread& t : workers) t.join();
  return failure;
}

bool OsRandom(uint8_t* p, size_t n) {
  while (n) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// state := SHA-512(state || data), first 56 bytes.
void Stir(TR_RANDOM* rnd, const uint8_t* data, size_t len) {
  SHA512_CTX c;
  SHA512_Init(&c);
  SHA512_Update(&c, rnd->state, sizeof rnd->state);
  if (len) SHA512_Update(&c, data, len);
  uint8_t md[SHA512_DIGEST_LENGTH];
  SHA512_Final(md, &c);
  std::memcpy(rnd->state, md, sizeof rnd->state);
  OPENSSL_cleanse(md, sizeof md);
  OPENSSL_cleanse(&c, sizeof c);
}

}  // namespace

namespace trsa {
bool RandomReady(const TR_RANDOM* rnd) { return rnd && rnd->seeded == 1 && rnd->bytesNeeded == 0; }
}  // namespace trsa

extern "C" {

TRRESULT DES3Encrypt(const uint8_t* key24, const uint8_t* in, uint32_t len, uint8_t* out) {
  return Des3(1, key24, in, len, out);
}

TRRESULT DES3Decrypt(const uint8_t* key24, const uint8_t* in, uint32_t len, uint8_t* out) {
  return Des3(0, key24, in, len, out);
}

TRRESULT SHAInit(TR_SHA_CTX* ctx) {
  if (!ctx) return TR_E_PARAM;
  std::memset(ctx, 0, sizeof *ctx);
  return SHA1_Init(Sha(ctx)) == 1 ? 0 : TR_E_CRYPTO;
}

TRRESULT SHAUpdate(TR_SHA_CTX* ctx, const uint8_t* data, uint32_t len) {
  if (!ctx || (!data && len)) return TR_E_PARAM;
  if (len && SHA1_Update(Sha(ctx), data, len) != 1) return TR_E_CRYPTO;
  return 0;
}

uint8_t* SHAFinal(TR_SHA_CTX* ctx) {
  if (!ctx) return nullptr;
  SHA1_Final(ctx->digest, Sha(ctx));
  return ctx->digest;
}

TRRESULT MD5Init(TR_MD5_CTX* ctx) {
  if (!ctx) return TR_E_PARAM;
  std::memset(ctx, 0, sizeof *ctx);
  return MD5_Init(Md5(ctx)) == 1 ? 0 : TR_E_CRYPTO;
}

TRRESULT MD5Update(TR_MD5_CTX* ctx, const uint8_t* data, uint32_t len) {
  if (!ctx || (!data && len)) return TR_E_PARAM;
  if (len && MD5_Update(Md5(ctx), data, len) != 1) return TR_E_CRYPTO;
  return 0;
}

uint8_t* MD5Final(TR_MD5_CTX* ctx) {
  if (!ctx) return nullptr;
  MD5_Final(ctx->digest, Md5(ctx));
  return ctx->digest;
}

TRRESULT R_RandomInit(TR_RANDOM* rnd) {
  if (!rnd) return TR_E_PARAM;
  OPENSSL_cleanse(rnd, sizeof *rnd);
  rnd->bytesNeeded = TR_RANDOM_BYTES_NEEDED;
  return 0;
}

TRRESULT R_RandomUpdate(TR_RANDOM* rnd, const uint8_t* seed, uint32_t len) {
  if (!rnd || (!seed && len)) return TR_E_PARAM;
  Stir(rnd, seed, len);
  if (rnd->bytesNeeded > TR_RANDOM_BYTES_NEEDED) rnd->bytesNeeded = TR_RANDOM_BYTES_NEEDED;
  rnd->bytesNeeded = len >= rnd->bytesNeeded ? 0 : rnd->bytesNeeded - len;
  if (rnd->bytesNeeded == 0) rnd->seeded = 1;
  return 0;
}

TRRESULT R_GetRandomBytesNeeded(uint32_t* bytesNeeded, TR_RANDOM* rnd) {
  if (!bytesNeeded || !rnd) return TR_E_PARAM;
  *bytesNeeded = trsa::RandomReady(rnd) ? 0 : (rnd->bytesNeeded ? rnd->bytesNeeded : TR_RANDOM_BYTES_NEEDED);
  return 0;
}

TRRESULT R_RandomCreate(TR_RANDOM* rnd) {
  if (!rnd) return TR_E_PARAM;
  R_RandomInit(rnd);
  if (!OsRandom(rnd->state, sizeof rnd->state)) return TR_E_CRYPTO;
  rnd->bytesNeeded = 0;
  rnd->seeded = 1;
  return 0;
}

TRRESULT R_RandomMix(TR_RANDOM* rnd) {
  if (!rnd) return TR_E_PARAM;
  uint8_t fresh[32];
  if (!OsRandom(fresh, sizeof fresh)) return TR_E_CRYPTO;
  Stir(rnd, fresh, sizeof fresh);
  OPENSSL_cleanse(fresh, sizeof fresh);
  return 0;
}

TRRESULT R_RandomFinal(TR_RANDOM* rnd) {
  if (!rnd) return TR_E_PARAM;
  OPENSSL_cleanse(rnd, sizeof *rnd);
  return 0;
}

TRRESULT R_GenerateBytes(uint8_t* buf, uint32_t len, TR_RANDOM* rnd) {
  if (!buf && len) return TR_E_PARAM;
  if (!trsa::RandomReady(rnd)) return TR_E_NEED_RANDOM;
  if (!len) return 0;
  if (len > INT32_MAX) return TR_E_LEN;
  return RAND_bytes(buf, static_cast<int>(len)) == 1 ? 0 : TR_E_CRYPTO;
}

}  // extern "C"
