// Opens a terminal, runs vim, resizes it and quits: cargo run --example vim
use std::time::Duration;
use zelta_stdio_client::{Client, PtySize, TerminalReader};

fn until(screen: &mut TerminalReader, seen: &mut String, text: &str) -> Result<(), String> {
    while !seen.contains(text) {
        let piece = screen.recv_timeout(Duration::from_secs(20));
        seen.push_str(&piece.map_err(|_| format!("no {:?} on the screen", text))?);
    }
    Ok(())
}

fn main() -> Result<(), Box<dyn std::error::Error>> {
    let client = Client::new()?;
    let mut vim = client.spawn("vim", &["-u", "NONE", "-N"], PtySize::new(24, 80), None, &[])?;
    let (mut screen, mut seen) = (vim.take_reader().ok_or("no reader")?, String::new());
    vim.resize(PtySize::new(30, 100))?;
    until(&mut screen, &mut seen, "\x1b[29;1H~")?; // vim redrew its screen with 30 rows
    vim.write(":set columns?\r")?;
    until(&mut screen, &mut seen, "columns=100")?;
    vim.write(":q!\r")?;
    println!("vim ran at 100x30 and exited with {}", vim.wait()?.exit_code());
    Ok(())
}
