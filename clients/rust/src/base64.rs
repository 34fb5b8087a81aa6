//! Standard base64 with padding, for the exact bytes of "raw_output" events
//! and of "stdin.write" requests that carry `base64`.

const ALPHABET: &[u8; 64] = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

pub(crate) fn encode(bytes: &[u8]) -> String {
    let mut out = String::with_capacity((bytes.len() + 2) / 3 * 4);
    for group in bytes.chunks(3) {
        let n = group.iter().enumerate().fold(0u32, |n, (i, &b)| n | (b as u32) << (16 - 8 * i));
        for i in 0..4 {
            if i <= group.len() {
                out.push(ALPHABET[(n >> (18 - 6 * i) & 63) as usize] as char);
            } else {
                out.push('=');
            }
        }
    }
    out
}

/// None for text that is not padded standard base64.
pub(crate) fn decode(text: &str) -> Option<Vec<u8>> {
    let text = text.as_bytes();
    if text.len() % 4 != 0 {
        return None;
    }
    let mut out = Vec::with_capacity(text.len() / 4 * 3);
    for (index, group) in text.chunks(4).enumerate() {
        let last = index + 1 == text.len() / 4;
        let padding = group.iter().rev().take_while(|&&c| c == b'=').count();
        if padding > 2 || (padding > 0 && !last) {
            return None;
        }
        let mut n = 0u32;
        for &c in &group[..4 - padding] {
            let value = ALPHABET.iter().position(|&a| a == c)? as u32;
            n = n << 6 | value;
        }
        n <<= 6 * padding as u32;
        out.extend_from_slice(&n.to_be_bytes()[1..4 - padding]);
    }
    Some(out)
}

#[cfg(test)]
mod tests {
    use super::{decode, encode};

    #[test]
    fn round_trips_every_length_and_byte() {
        let bytes: Vec<u8> = (0..=255u8).chain([0xe9, 0xff, 0]).collect();
        for len in 0..bytes.len() {
            assert_eq!(decode(&encode(&bytes[..len])).unwrap(), &bytes[..len]);
        }
        assert_eq!(encode(b"\xe9\xff"), "6f8=");
        assert_eq!(encode(b"hello"), "aGVsbG8=");
        assert_eq!(decode("aGk=").unwrap(), b"hi");
        for bad in ["a", "aG=k", "a===", "aGk=aGk=x", "aG!k"] {
            assert_eq!(decode(bad), None, "{}", bad);
        }
    }
}
