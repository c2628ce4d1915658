// MD5 (RFC 1321). The router checks logins against the digest of the
// password, so the password itself never crosses the network.

const SHIFT = [7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21];
const K = Array.from({ length: 64 }, (_, i) => Math.floor(Math.abs(Math.sin(i + 1)) * 2 ** 32) >>> 0);

// Digest of a byte array, as 16 bytes.
export function md5Bytes(bytes) {
  const n = bytes.length;
  const w = new Uint32Array(((n + 8) >>> 6) * 16 + 16);
  for (let i = 0; i < n; i++) w[i >> 2] |= bytes[i] << ((i & 3) * 8);
  w[n >> 2] |= 0x80 << ((n & 3) * 8);
  w[w.length - 2] = (n * 8) >>> 0;
  w[w.length - 1] = Math.floor(n / 2 ** 29);
  const h = [0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476];
  for (let off = 0; off < w.length; off += 16) {
    let [a, b, c, d] = h;
    for (let i = 0; i < 64; i++) {
      const r = i >> 4;
      let f, g;
      if (r === 0) { f = (b & c) | (~b & d); g = i; }
      else if (r === 1) { f = (d & b) | (~d & c); g = (5 * i + 1) & 15; }
      else if (r === 2) { f = b ^ c ^ d; g = (3 * i + 5) & 15; }
      else { f = c ^ (b | ~d); g = (7 * i) & 15; }
      const s = SHIFT[r * 4 + (i & 3)];
      const x = (a + f + K[i] + w[off + g]) | 0;
      a = d; d = c; c = b;
      b = (b + ((x << s) | (x >>> (32 - s)))) | 0;
    }
    h[0] = (h[0] + a) | 0; h[1] = (h[1] + b) | 0; h[2] = (h[2] + c) | 0; h[3] = (h[3] + d) | 0;
  }
  const out = new Uint8Array(16);
  h.forEach((v, i) => { for (let j = 0; j < 4; j++) out[i * 4 + j] = (v >>> (8 * j)) & 0xff; });
  return out;
}

// Digest of a text's UTF-8 bytes, as 32 lower-case hex digits.
export function md5Hex(text) {
  return Array.from(md5Bytes(new TextEncoder().encode(text)), (b) => b.toString(16).padStart(2, '0')).join('');
}
