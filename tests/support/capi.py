"""The C-level table of excursion: names and signature texts, in table order."""

CAPI = {
    "entry": "PyArrayObject *",
    "position": "PyArrayObject *",
    "start_analysis": "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    "record_date": "void (int)",
    "record_entry": "void (int, double, int)",
    "record_exit": "void (int, int)",
    "end_analysis": "PyObject *(std::map<int,double>  &)",
}
