"""What games leave behind: records (:mod:`.records`), training positions (:mod:`.dataset`), drawings of a
finished game (:mod:`.viewer`), and what a run resumes from (:mod:`.runs`)."""
