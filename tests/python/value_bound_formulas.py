"""The value-bound transforms' tokens worked out independently: pseudonym by
hmac, encrypt by the `cryptography` package's AES-SIV, fpe by a plain FF1
(NIST SP 800-38G) over its AES. Shared by the suite and the smoke test of a
wheel on another CPU."""
import hashlib
import hmac
from base64 import urlsafe_b64encode

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESSIV
from cryptography.hazmat.primitives.hashes import SHA256
from cryptography.hazmat.primitives.kdf.hkdf import HKDF


def pseudonym(value, context=None, *, key):
    if context:
        key = hmac.new(key, b"quillon_mask pseudonym\x00" + context.encode(), hashlib.sha256).digest()
    return hmac.new(key, value.encode(), hashlib.sha256).hexdigest()


def encrypt(value, context=None, *, key):
    key64 = HKDF(SHA256(), 64, None, b"quillon_mask encrypt").derive(key)
    sealed = AESSIV(key64).encrypt(value.encode(), [context.encode()] if context else None)
    return urlsafe_b64encode(sealed).rstrip(b"=").decode()


def ff1(key, tweak, radix, numerals):
    """FF1 encryption (NIST SP 800-38G, Algorithm 7) over AES-ECB, plainly."""
    n, t = len(numerals), len(tweak)
    u, v = n // 2, n - n // 2
    a, b = numerals[:u], numerals[u:]
    aes = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    bytes_b = ((radix ** v - 1).bit_length() + 7) // 8
    d = 4 * ((bytes_b + 3) // 4) + 4
    p = bytes([1, 2, 1]) + radix.to_bytes(3, "big") + bytes([10, u % 256]) + n.to_bytes(4, "big") + t.to_bytes(4, "big")

    def num(xs):
        out = 0
        for x in xs:
            out = out * radix + x
        return out

    for i in range(10):
        q = tweak + bytes((-t - bytes_b - 1) % 16) + bytes([i]) + num(b).to_bytes(bytes_b, "big")
        r = bytes(16)
        for at in range(0, len(p + q), 16):
            r = aes.update(bytes(x ^ y for x, y in zip(r, (p + q)[at:at + 16])))
        s = r + b"".join(aes.update(bytes(x ^ y for x, y in zip(r, j.to_bytes(16, "big"))))
                         for j in range(1, (d + 15) // 16))
        m = u if i % 2 == 0 else v
        c = (num(a) + int.from_bytes(s[:d], "big")) % radix ** m
        a, b = b, [c // radix ** (m - 1 - k) % radix for k in range(m)]
    return a + b


def fpe(value, alphabet, context=None, *, key):
    ff1_key = HKDF(SHA256(), 32, None, b"quillon_mask fpe").derive(key)
    slots = [i for i, ch in enumerate(value) if ch in alphabet]
    out = list(value)
    numerals = ff1(ff1_key, (context or "").encode(), len(alphabet), [alphabet.index(value[i]) for i in slots])
    for i, x in zip(slots, numerals):
        out[i] = alphabet[x]
    return "".join(out)
