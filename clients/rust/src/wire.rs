//! The lines that cross the executor's pipes: requests written and the
//! replies and events read, one JSON object per line.

use std::collections::BTreeMap;

use serde::{Deserialize, Serialize};

use crate::tree::AstNode;

/// One request line. Absent options are left out of the line, so the
/// executor sees only the keys a call asked for.
#[derive(Serialize, Default)]
pub(crate) struct Request<'a> {
    #[serde(rename = "type")]
    pub kind: &'a str,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub run_id: Option<&'a str>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub ast: Option<&'a AstNode>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub cwd: Option<&'a str>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub env: Option<&'a BTreeMap<String, String>>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub rows: Option<u16>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub cols: Option<u16>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub path: Option<&'a str>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub patterns: Option<&'a [String]>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub data: Option<&'a str>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub signal: Option<&'a str>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub timeout_ms: Option<u64>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub stream: Option<bool>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub raw_output: Option<bool>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub base64: Option<&'a str>,
    #[serde(skip_serializing_if = "Option::is_none")]
    pub extensions: Option<&'a [&'a str]>,
}

impl<'a> Request<'a> {
    pub fn new(kind: &'a str) -> Request<'a> {
        Request { kind, ..Request::default() }
    }

    /// The request as one line, line feed included.
    pub fn to_line(&self) -> Vec<u8> {
        // Serialising cannot fail: every key is a string and every value plain.
        let mut line = serde_json::to_vec(self).unwrap_or_default();
        line.push(b'\n');
        line
    }
}

/// One line from the executor: a reply (no `type`) or an event. Only the
/// keys the client uses are read; a "stdout" event's text is taken from
/// `data` alone, since the stream's own key repeats it.
#[derive(Deserialize, Debug, Default)]
pub(crate) struct Incoming {
    #[serde(rename = "type")]
    pub kind: Option<String>,
    pub run_id: Option<String>,
    pub exit_code: Option<i64>,
    pub error: Option<String>,
    pub content: Option<String>,
    pub glob_matches: Option<Vec<String>>,
    pub temp_path: Option<String>,
    pub data: Option<String>,
    /// The exact bytes of an output event of a run with raw output.
    pub base64: Option<String>,
    pub child_pid: Option<u32>,
    pub backend_pid: Option<u32>,
    pub signal: Option<String>,
    pub core_dumped: Option<bool>,
    pub extensions: Option<Vec<String>>,
    pub version: Option<String>,
    pub pid: Option<u32>,
    pub name: Option<String>,
    pub cwd: Option<String>,
}

impl Incoming {
    pub fn is_event(&self) -> bool {
        self.kind.is_some()
    }
}

/// The control requests: they get no reply, but one that reaches the
/// executor after its run has ended is answered "Unknown: <type>". Such a
/// reply answers no request of the client and is dropped.
pub(crate) fn is_stray_control_reply(reply: &Incoming) -> bool {
    const CONTROL: [&str; 7] = [
        "stdin.write",
        "run.signal",
        "run.resize",
        "stream.flush",
        "run.pause",
        "run.resume",
        "run.foreground",
    ];
    match reply.error.as_deref().and_then(|e| e.strip_prefix("Unknown: ")) {
        Some(kind) => reply.exit_code == Some(1) && CONTROL.contains(&kind),
        None => false,
    }
}
