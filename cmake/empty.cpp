// Placeholder so that a folder without sources still makes a library.
