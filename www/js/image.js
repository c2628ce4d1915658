// The checks the router makes on a firmware image before it writes it to
// flash: a 64-byte image header (magic, header CRC) and the CRC of every byte
// after it. Checking in the browser saves an upload that would be refused.

const MAGIC = 0x27051956;
export const MAX_UPLOAD = 6291456; // the router's limit on a request body

let table;
export function crc32(bytes, crc = 0) {
  if (!table) {
    table = new Uint32Array(256);
    for (let n = 0; n < 256; n++) {
      let c = n;
      for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
      table[n] = c >>> 0;
    }
  }
  crc = ~crc >>> 0;
  for (let i = 0; i < bytes.length; i++) crc = table[(crc ^ bytes[i]) & 0xff] ^ (crc >>> 8);
  return ~crc >>> 0;
}

// '' when the router will accept the image's header and checksums.
export function firmwareProblem(bytes) {
  if (bytes.length < 64) return 'The file is too short to be a firmware image.';
  const v = new DataView(bytes.buffer, bytes.byteOffset, 64);
  if (v.getUint32(0) !== MAGIC) return 'This is not a firmware image (its header has the wrong magic number).';
  const header = bytes.slice(0, 64);
  header.fill(0, 4, 8);
  if (crc32(header) !== v.getUint32(4)) return 'The image header is damaged (header checksum mismatch).';
  if (crc32(bytes.subarray(64)) !== v.getUint32(24)) {
    return 'The image data is damaged or the file has extra bytes (data checksum mismatch).';
  }
  return '';
}

// Header name of an image, for the confirmation.
export function imageName(bytes) {
  return new TextDecoder().decode(bytes.subarray(32, 64)).replace(/\0.*$/s, '');
}
