//! What the integration tests share: the executor under test, scratch
//! directories, and waiting for terminal output without assuming how it is cut.
#![allow(dead_code)]

pub mod trees;

use std::path::PathBuf;
use std::sync::atomic::{AtomicUsize, Ordering};
use std::time::{Duration, Instant};

use zelta_stdio_client::{Client, TerminalReader};

/// Generous: the CI machine is a loaded 2-core box.
pub const PATIENCE: Duration = Duration::from_secs(30);

/// `$ZELTA_STDIO_EXECUTOR`, else the release build, else the dev build of this repository.
pub fn executor_path() -> PathBuf {
    if let Some(path) = std::env::var_os("ZELTA_STDIO_EXECUTOR") {
        return PathBuf::from(path);
    }
    let root = PathBuf::from(env!("CARGO_MANIFEST_DIR")).join("../..");
    for build in ["build/release", "build/dev"] {
        let candidate = root.join(build).join("stdio_executor");
        if candidate.exists() {
            return candidate;
        }
    }
    panic!("no executor: set ZELTA_STDIO_EXECUTOR or build build/release/stdio_executor");
}

pub fn client() -> Client {
    Client::with_program(executor_path()).expect("the executor starts")
}

/// Reads terminal output until it contains `needle`; returns all read so far.
pub fn read_until(reader: &mut TerminalReader, seen: &mut String, needle: &str) -> String {
    let deadline = Instant::now() + PATIENCE;
    while !seen.contains(needle) {
        let left = deadline.saturating_duration_since(Instant::now());
        match reader.recv_timeout(left) {
            Ok(text) => seen.push_str(&text),
            Err(_) => panic!("{:?} never came; the terminal showed {:?}", needle, seen),
        }
    }
    seen.clone()
}

/// A fresh directory under the system's temporary directory, removed on drop.
pub struct Scratch {
    pub path: PathBuf,
}

impl Scratch {
    pub fn new() -> Scratch {
        static NEXT: AtomicUsize = AtomicUsize::new(0);
        let path = std::env::temp_dir().join(format!(
            "zelta-rust-test-{}-{}",
            std::process::id(),
            NEXT.fetch_add(1, Ordering::Relaxed)
        ));
        std::fs::create_dir_all(&path).expect("scratch directory");
        Scratch { path }
    }

    pub fn file(&self, name: &str) -> String {
        self.path.join(name).to_string_lossy().into_owned()
    }

    pub fn dir(&self) -> String {
        self.path.to_string_lossy().into_owned()
    }
}

impl Drop for Scratch {
    fn drop(&mut self) {
        let _ = std::fs::remove_dir_all(&self.path);
    }
}

/// Process ids whose command line contains `marker`.
pub fn processes_with(marker: &str) -> Vec<u32> {
    let mut found = Vec::new();
    let entries = match std::fs::read_dir("/proc") {
        Ok(entries) => entries,
        Err(_) => return found,
    };
    for entry in entries.flatten() {
        let pid: u32 = match entry.file_name().to_string_lossy().parse() {
            Ok(pid) => pid,
            Err(_) => continue,
        };
        if let Ok(cmdline) = std::fs::read(entry.path().join("cmdline")) {
            let text = String::from_utf8_lossy(&cmdline).replace('\0', " ");
            if text.contains(marker) {
                found.push(pid);
            }
        }
    }
    found
}

/// Waits until no process carries `marker`; false if some still do at the deadline.
pub fn none_left(marker: &str) -> bool {
    let deadline = Instant::now() + PATIENCE;
    while Instant::now() < deadline {
        if processes_with(marker).is_empty() {
            return true;
        }
        std::thread::sleep(Duration::from_millis(20));
    }
    false
}
