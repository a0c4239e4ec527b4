// The LAN copy of the page talks HTTP; the probe page only needs the file to exist.
